// Field get/set, key hash/compare and Entry copies, next to peers:
//   Naive   a bit-at-a-time copy, what a first implementation often is;
//   Manual  a hand-written shift-and-mask on the same bytes, the floor.
// Each benchmark is labelled with the field's width and offset.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "IppaRoutingProfileToVectorMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "TarSnifActionTableHwDirect.h"

namespace {

using namespace bcm88490_a0;

void naiveCopyBits(std::uint8_t* dst, const std::uint8_t* src, std::size_t bits, std::size_t dstOffset,
                   std::size_t srcOffset) {
  for (std::size_t i = 0; i < bits; ++i) {
    const std::size_t s = srcOffset + i, d = dstOffset + i;
    const bool bit = src[s / 8] >> (s % 8) & 1;
    dst[d / 8] = static_cast<std::uint8_t>((dst[d / 8] & ~(1u << (d % 8))) | (unsigned{bit} << (d % 8)));
  }
}

// Sets a field of an entry from a running counter, as often as the benchmark
// runs; `set(entry, value)` is the way of setting measured.
template <class Entry, class Set>
void fieldSet(benchmark::State& state, const char* label, Set set) {
  Entry entry;
  std::uint32_t v = 0;
  for (auto _ : state) {
    set(entry, v++);
    benchmark::DoNotOptimize(entry);
  }
  state.SetLabel(label);
}

// destination: 21 bits at bit 1 of a 12-byte entry (spans three bytes).
void BM_FieldSet_Destination(benchmark::State& state) {
  fieldSet<TarSnifActionTableHwDirect::Entry>(state, "21 bits @1", [](auto& entry, std::uint32_t v) {
    entry.destinationIs(Orvel::U21::fromBits(v & 0x1fffff));
  });
}
BENCHMARK(BM_FieldSet_Destination);

void BM_FieldSetNaive_Destination(benchmark::State& state) {
  fieldSet<TarSnifActionTableHwDirect::Entry>(state, "21 bits @1", [](auto& entry, std::uint32_t v) {
    const std::uint32_t bits = v & 0x1fffff;
    naiveCopyBits(entry.data(), reinterpret_cast<const std::uint8_t*>(&bits), 21, 1, 0);
  });
}
BENCHMARK(BM_FieldSetNaive_Destination);

void BM_FieldSetManual_Destination(benchmark::State& state) {
  fieldSet<TarSnifActionTableHwDirect::Entry>(state, "21 bits @1", [](auto& entry, std::uint32_t v) {
    std::uint32_t word;
    std::memcpy(&word, entry.data(), 4);
    word = (word & ~(0x1fffffu << 1)) | ((v & 0x1fffff) << 1);
    std::memcpy(entry.data(), &word, 4);
  });
}
BENCHMARK(BM_FieldSetManual_Destination);

// routingProfile2: 4 bits at bit 8 of a 4-byte entry.
void BM_FieldSet_RoutingProfile(benchmark::State& state) {
  fieldSet<IppaVsiToRoutingProfileMapHwDirect::Entry>(
      state, "4 bits @8", [](auto& entry, std::uint32_t v) { entry.routingProfile2Is(Orvel::U4::fromBits(v & 0xf)); });
}
BENCHMARK(BM_FieldSet_RoutingProfile);

// cropNwkHeaderSize: 9 bits at bit 52, across bytes 6 and 7.
void BM_FieldSet_CropNwkHeaderSize(benchmark::State& state) {
  fieldSet<TarSnifActionTableHwDirect::Entry>(state, "9 bits @52", [](auto& entry, std::uint32_t v) {
    entry.cropNwkHeaderSizeIs(Orvel::U9::fromBits(v & 0x1ff));
  });
}
BENCHMARK(BM_FieldSet_CropNwkHeaderSize);

void BM_FieldGet_Destination(benchmark::State& state) {
  TarSnifActionTableHwDirect::Entry entry;
  entry.destinationIs(0x12345);
  for (auto _ : state) {
    benchmark::DoNotOptimize(entry);
    benchmark::DoNotOptimize(entry.destination());
  }
  state.SetLabel("21 bits @1");
}
BENCHMARK(BM_FieldGet_Destination);

// The range-checked setter path, as the catalogue dispatch or a caller with
// a plain integer takes it.
void BM_FieldSetChecked_TrapCode(benchmark::State& state) {
  fieldSet<IppbTtl0ActionProfileHwReg::Entry>(
      state, "9 bits @7, checked", [](auto& entry, std::uint32_t v) { entry.ttl0TrapCodeIs(Orvel::U9(v & 0x1ff)); });
}
BENCHMARK(BM_FieldSetChecked_TrapCode);

void BM_KeyHash_Indexed(benchmark::State& state) {
  std::uint32_t e = 0;
  for (auto _ : state) {
    IppaVsiToRoutingProfileMapHwDirect::EntryKey key(2, e++ & 0xff);
    benchmark::DoNotOptimize(key.hash(0x9e3779b9));
  }
  state.SetLabel("Zev::Hash, 5 bytes");
}
BENCHMARK(BM_KeyHash_Indexed);

void BM_KeyHashPeer_StdHash(benchmark::State& state) {
  std::uint64_t e = 0;
  for (auto _ : state) {
    const std::uint64_t packed = std::uint64_t{2} << 32 | (e++ & 0xff);
    benchmark::DoNotOptimize(std::hash<std::uint64_t>{}(packed));
  }
  state.SetLabel("std::hash<uint64_t> (identity, no mixing)");
}
BENCHMARK(BM_KeyHashPeer_StdHash);

void BM_KeyHash_Value(benchmark::State& state) {
  std::uint32_t v = 0;
  for (auto _ : state) {
    TarSnifActionTableHwDirect::EntryKey key = TarSnifActionTableHwDirect::EntryKey::checked(v++ & 31);
    benchmark::DoNotOptimize(values::keyHash(key, 0x9e3779b9));
  }
  state.SetLabel("hashSingleAttr");
}
BENCHMARK(BM_KeyHash_Value);

// Compares neighbours in a table of keys, as a sort or an ordered walk does.
void BM_KeyCompare_Indexed(benchmark::State& state) {
  std::vector<IppaVsiToRoutingProfileMapHwDirect::EntryKey> keys;
  for (std::uint32_t i = 0; i < 1024; ++i)
    keys.emplace_back(static_cast<unsigned char>(2 + (i * 7919) % 2), (i * 104729) % 256);
  std::size_t i = 0, less = 0;
  for (auto _ : state) {
    less += keys[i & 1023] < keys[(i + 1) & 1023];
    ++i;
  }
  benchmark::DoNotOptimize(less);
  state.SetLabel("operator<=>, 1024 keys");
}
BENCHMARK(BM_KeyCompare_Indexed);

template <class Entry>
void BM_EntryCopy(benchmark::State& state) {
  Entry source;
  source.dataByte0Is(1, 7);
  for (auto _ : state) {
    benchmark::DoNotOptimize(source);
    Entry copy = source;
    benchmark::DoNotOptimize(copy);
  }
  state.SetLabel(std::to_string(sizeof(Entry)) + " bytes");
}
BENCHMARK(BM_EntryCopy<IppaVsiToRoutingProfileMapHwDirect::Entry>);
BENCHMARK(BM_EntryCopy<IppaRoutingProfileToVectorMapHwDirect::Entry>);

}  // namespace

BENCHMARK_MAIN();
