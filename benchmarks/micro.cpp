// Micro-benchmarks of the three stages (Base64, wire decoding, JSON writing)
// on payloads like those of bench.py: 0 to 1000000 samples, versions 3 and
// 1, realistic values (gravity near 1000 on z, noise, rare int16 limits).
//
//   cmake -S . -B build/bench -G Ninja -DVORLANE_BUILD_BENCHMARKS=ON -DVORLANE_BUILD_MODULE=OFF
//   cmake --build build/bench && build/bench/vorlane_micro
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "accel/entry.h"
#include "base64/base64.h"
#include "base64_reference.h"
#include "common/cpu_path.h"
#include "fused/document.h"
#include "json/document.h"
#include "cpu_paths.h"
#include "encode.h"

using namespace vorlane;

namespace {

void put_varint(std::vector<uint8_t>& out, uint64_t n) {
  while (n >= 0x80) {
    out.push_back(static_cast<uint8_t>(n | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<uint8_t>(n));
}

void put_i16(std::vector<uint8_t>& out, int v) {
  const auto s = static_cast<int16_t>(std::clamp(v, -32768, 32767));
  put_varint(out, static_cast<uint16_t>((static_cast<uint16_t>(s) << 1) ^ static_cast<uint16_t>(s >> 15)));
}


// Gravity near 1000 on z, noise with a spread of a few hundred, rare limits.
const std::string& payload(int version, int64_t samples) {
  static std::map<std::pair<int, int64_t>, std::string> cache;
  auto& text = cache[{version, samples}];
  if (!text.empty()) return text;
  if (version == 3 && samples == 2) return text = "AQMBATICAQTQDwDXBP//Aw==";
  std::mt19937_64 rng(2024 * 1000003ull + static_cast<uint64_t>(samples) * 10 + static_cast<uint64_t>(version));
  std::normal_distribution<double> noise(0.0, 250.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<uint8_t> bytes;
  if (version == 1) {
    put_varint(bytes, 2 * 1700000000123ull);
  } else {
    bytes.insert(bytes.end(), {1, 3, 1, 1});
  }
  put_i16(bytes, 250);
  put_varint(bytes, static_cast<uint64_t>(samples));
  for (int64_t i = 0; i < samples; ++i) {
    int x = static_cast<int>(noise(rng)), y = static_cast<int>(noise(rng));
    int z = 1000 + static_cast<int>(noise(rng));
    if (unit(rng) < 0.002) x = unit(rng) < 0.5 ? -32768 : 32767;
    if (unit(rng) < 0.002) z = unit(rng) < 0.5 ? -32768 : 32767;
    put_i16(bytes, x);
    put_i16(bytes, y);
    put_i16(bytes, z);
  }
  return text = vorlane::testing::encode_base64(bytes);
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int version : {3, 1}) {
    for (int64_t n : {0, 2, 32, 256, 4096, 200000, 1000000}) b->Args({version, n});
  }
}

void Base64Decode(benchmark::State& state, const base64::Kernel* kernel) {
  const std::string& text = payload(static_cast<int>(state.range(0)), state.range(1));
  std::vector<uint8_t> out(base64::decoded_capacity(text.size()));
  for (auto _ : state) {
    auto r = base64::decode_into(text, out.data(), *kernel);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// The record decoders on decoded bytes (samples into their vector).
void WireRecord(benchmark::State& state) {
  const std::string& text = payload(static_cast<int>(state.range(0)), state.range(1));
  auto bytes = testing::base64_decode(text);
  for (auto _ : state) {
    auto r = accel::decode_bytes(static_cast<uint64_t>(state.range(0)), bytes.value().data.get(), bytes.value().size);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.value().size));
}
BENCHMARK(WireRecord)->Apply(sizes);

// The reference writer: to_json_text on a decoded record.
void JsonWriterDocument(benchmark::State& state) {
  const std::string& text = payload(static_cast<int>(state.range(0)), state.range(1));
  auto record = accel::decode_b64(static_cast<uint64_t>(state.range(0)), text);
  const json::NCDataPayload value{std::move(record).value()};
  size_t size = 0;
  for (auto _ : state) {
    auto doc = json::to_json_text(value);
    size = doc.size();
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(JsonWriterDocument)->Apply(sizes);

// The fast path of the binding: Base64 and samples (prepare), then the text
// into a buffer of the exact length (write).
void DirectPrepare(benchmark::State& state) {
  const std::string& text = payload(static_cast<int>(state.range(0)), state.range(1));
  for (auto _ : state) {
    fused::Document doc;
    auto r = doc.prepare(static_cast<uint64_t>(state.range(0)), text);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(DirectPrepare)->Apply(sizes);

// prepare() with each sample reader, on v3 runs; the counter is the time
// per sample.
void DirectPrepareReader(benchmark::State& state, fused::SampleReader reader) {
  const std::string& text = payload(3, state.range(0));
  for (auto _ : state) {
    fused::Document doc;
    auto r = doc.prepare(3, text, reader);
    benchmark::DoNotOptimize(r);
  }
  state.counters["per_sample"] = benchmark::Counter(
      static_cast<double>(state.range(0)),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
void reader_sizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : {2, 32, 64, 96, 128, 256, 4096, 200000}) b->Arg(n);
  // Side by side, the least time of the repetitions is the one to compare.
  b->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
  });
}

void DirectWrite(benchmark::State& state) {
  const std::string& text = payload(static_cast<int>(state.range(0)), state.range(1));
  fused::Document doc;
  const size_t size = doc.prepare(static_cast<uint64_t>(state.range(0)), text).value();
  std::string out(size, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(doc.write(out.data(), size));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(DirectWrite)->Apply(sizes);

// write() alone with each writer this CPU runs, on version 3 runs of
// realistic readings; its counter is the time per sample.
void DirectWriteWriter(benchmark::State& state, fused::Writer writer) {
  const std::string& text = payload(3, state.range(0));
  fused::Document doc;
  const size_t size = doc.prepare(3, text).value();
  std::string out(size, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(doc.write(out.data(), size, writer));
    benchmark::ClobberMemory();
  }
  state.counters["per_sample"] = benchmark::Counter(
      static_cast<double>(state.range(0)),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
void writer_sizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : {32, 256, 4096, 200000}) b->Arg(n);
  b->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
  });
}

// Each kernel this CPU runs, named by its path.
void register_kernels() {
  const auto named = [](const char* stage, std::string_view path) {
    return std::string(stage) + "/" + std::string(path);
  };
  for (const auto& k : testing::base64_kernels()) {
    benchmark::RegisterBenchmark(named("Base64Decode", k.path).c_str(), Base64Decode, k.kernel)
        ->Apply(sizes);
  }
  for (const auto& k : testing::sample_readers()) {
    benchmark::RegisterBenchmark(named("DirectPrepareReader", k.path).c_str(), DirectPrepareReader,
                                 k.kernel)
        ->Apply(reader_sizes);
  }
  for (const auto& k : testing::writers()) {
    benchmark::RegisterBenchmark(named("DirectWriteWriter", k.path).c_str(), DirectWriteWriter,
                                 k.kernel)
        ->Apply(writer_sizes);
  }
}

}  // namespace

// The path named in the context, so that every report says what it timed.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const auto refused = vorlane::cpu::forced_path_refusal();
  if (!refused.empty()) {
    std::fprintf(stderr, "vorlane_micro: %s\n", refused.c_str());
    return 2;
  }
  benchmark::AddCustomContext("cpu_path", vorlane::cpu::describe_choice().c_str());
  register_kernels();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
