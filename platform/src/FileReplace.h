// Whole-file reads and atomic replacement, shared by the small record files
// of a collection's root directory (owner, palvo).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace Mem::Impl {

// Reads the whole file into `text`. Returns 0, or the errno of the failure.
int readWholeFile(const std::string& path, std::string& text);

// Replaces `path` with a file holding `text`: writes a new file next to it and
// renames it over `path`, so a reader sees either the old or the new contents,
// never a mix. `beforeRename`, when given, runs with the new file's descriptor
// just before the rename. With `keepOpen` the descriptor is returned (the
// caller closes it); otherwise it is closed and -1 returned. Throws
// Orvel::MemoryResourceException "cannot write {path}: {reason}".
int replaceFile(const std::string& path, std::string_view text, bool keepOpen = false,
                const std::function<void(int fd)>& beforeRename = {});

}  // namespace Mem::Impl
