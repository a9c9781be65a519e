// `shadowctl dump`, `check` and `stats`: a collection read from outside,
// read-only, as the table whose entries its slot file names.
#pragma once

#include <iosfwd>
#include <string>

#include "PluginHost.h"

namespace shadowctl {

struct CollectionRequest {
  std::string path;  // the collection's directory
  bool json = false;
  bool watch = false;
  double interval = 0.2;  // seconds between looks when watching
};

// Each returns the process exit status; errors are printed on `err`.
int dumpCollection(const PluginHost& host, const CollectionRequest& request, std::ostream& out, std::ostream& err);
int checkCollection(const PluginHost& host, const CollectionRequest& request, std::ostream& out, std::ostream& err);
int collectionStats(const PluginHost& host, const CollectionRequest& request, std::ostream& out, std::ostream& err);

}  // namespace shadowctl
