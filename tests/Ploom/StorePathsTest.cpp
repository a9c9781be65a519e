// The collection's store paths compile to plain moves on x86-64: no fence
// (mfence), no exchange with memory (xchg, which seq_cst stores become) and no locked
// read-modify-write. Readers in other processes rely only on the order of
// aligned stores, which x86 keeps; anything stronger would only cost time.
//
// The test disassembles every function of this very binary that belongs to
// the collection code (namespaces Ploom and PloomCore: the writer, slot
// table, hash map and validator, instantiated for the test values) and fails
// on any such instruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "PloomTestSupport.h"

namespace {

std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  char buffer[65536];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

struct Function {
  std::uint64_t start;
  std::uint64_t size;
  std::string name;
};

// Uses the writer so that its code is in this binary.
void instantiate() {
  if (std::getenv("VOVU_NEVER_SET_THIS")) {
    ploom_test::WriterHandle<test_values::Value> w("/never", ploom_test::descriptor(64));
    test_values::Value v;
    w->write(v, true);
    w->remove(v.key, v);
    w->directWrite(v);
    w->directCommit();
    w->markAndSweepFlag(v.key, Ploom::MarkAndSweepOperation::set);
    w->shrink();
    w->validate();
  }
}

TEST(PloomStorePaths, NoFenceExchangeOrLockedInstruction) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the instruction check is written for x86-64";
#endif
#if !defined(__OPTIMIZE__)
  GTEST_SKIP() << "the check is about optimised code; an unoptimised build emits fences for release fences";
#endif
  instantiate();
  const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
  std::vector<Function> functions;
  std::istringstream symbols(run("nm -C -S --defined-only " + self));
  for (std::string line; std::getline(symbols, line);) {
    std::istringstream fields(line);
    std::string address, size, type;
    if (!(fields >> address >> size >> type) || (type != "t" && type != "T" && type != "W" && type != "w")) continue;
    std::string name;
    std::getline(fields, name);
    if (name.find("Ploom::") == std::string::npos && name.find("PloomCore::") == std::string::npos) continue;
    if (name.find("ploom_test::") != std::string::npos) continue;  // test code
    functions.push_back({std::stoull(address, nullptr, 16), std::stoull(size, nullptr, 16), name});
  }
  ASSERT_GT(functions.size(), 10u) << "the collection's functions were not found";
  bool sawWrite = false;
  for (const Function& f : functions)
    sawWrite |= f.name.find("PloomWriter<test_values::Value>::write(") != std::string::npos;
  EXPECT_TRUE(sawWrite) << "write() is not an out-of-line function here; the check would miss it";

  // xchg with a memory operand is implicitly locked (a register-register
  // xchg %ax,%ax is a two-byte no-op used for padding).
  const std::regex forbidden(R"(\t(lock\b|mfence|xchg\s.*\())");
  std::sort(functions.begin(), functions.end(), [](const Function& a, const Function& b) { return a.start < b.start; });
  std::map<std::string, std::string> offenders;
  // One pass over the whole disassembly; each offending instruction is
  // charged to the collection function whose range holds it.
  std::istringstream code(run("objdump -d --no-show-raw-insn " + self));
  for (std::string line; std::getline(code, line);) {
    if (!std::regex_search(line, forbidden)) continue;
    const std::uint64_t address = std::stoull(line.substr(0, line.find(':')), nullptr, 16);
    auto it = std::upper_bound(functions.begin(), functions.end(), address,
                               [](std::uint64_t a, const Function& f) { return a < f.start; });
    if (it == functions.begin()) continue;
    --it;
    if (address < it->start + it->size) offenders[it->name] = line;
  }
  for (const auto& [name, line] : offenders) ADD_FAILURE() << name << ":\n" << line;
}

}  // namespace
