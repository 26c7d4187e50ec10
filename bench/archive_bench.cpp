// The installer's archive against a bare zlib loop and tar with gzip -9 on
// the same generated corpus, in one run: text, binary and random files, one
// large file and many small ones. Adding runs at the archive's default level
// (9) and the zlib loop at the same level; tar and gzip run as processes.
// The table at the end prints each time, the ratios and the output sizes.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "installer/engine/archive/orln_compress.h"
#include "os/machine.h"

namespace {

namespace fs = std::filesystem;

struct TCorpus {
  std::string root;  // host folder of the machine
  std::unique_ptr<os::TMachine> machine;
  std::unique_ptr<os::TScopedMachine> scoped;
  std::vector<std::string> names;  // file names in C:\corpus
  int64_t bytes = 0;
};

std::string Text(size_t n, std::mt19937& gen) {
  static const char* words[] = {"installer ", "volume ", "the ",     "archive ", "of ",
                                "setup ",     "file ",   "disk\r\n", "version ", "1.0.4 "};
  std::string s;
  s.reserve(n + 16);
  while (s.size() < n) s += words[gen() % 10];
  s.resize(n);
  return s;
}

// Program-like bytes: runs of small integers, repeated tables and some noise.
std::string Binary(size_t n, std::mt19937& gen) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    uint32_t r = gen();
    s[i] = (i / 64) % 4 == 0 ? static_cast<char>(r & 0xFF)
                             : static_cast<char>((i * 13 + (r & 3)) & 0x3F);
  }
  return s;
}

std::string Random(size_t n, std::mt19937& gen) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

TCorpus& Corpus() {
  static TCorpus c;
  if (!c.machine) {
    c.root = "/tmp/archive_bench_" + std::to_string(::getpid());
    c.machine = os::TMachine::Open(c.root);
    c.scoped = std::make_unique<os::TScopedMachine>(*c.machine);
    const std::string dir = c.machine->DriveFolder('C') + "/corpus";
    fs::create_directories(dir);
    std::mt19937 gen(42);
    auto put = [&](const std::string& name, const std::string& data) {
      std::ofstream(dir + "/" + name, std::ios::binary) << data;
      c.names.push_back(name);
      c.bytes += static_cast<int64_t>(data.size());
    };
    put("large.bin", Text(12 << 20, gen) + Binary(8 << 20, gen) + Random(4 << 20, gen));
    for (int i = 0; i < 400; ++i) put("t" + std::to_string(i) + ".txt", Text(8192 + i * 7, gen));
    for (int i = 0; i < 150; ++i)
      put("b" + std::to_string(i) + ".dll", Binary(40000 + i * 11, gen));
    for (int i = 0; i < 4; ++i) put("r" + std::to_string(i) + ".cab", Random(1 << 20, gen));
  }
  return c;
}

std::string CorpusDir() {
  return Corpus().machine->DriveFolder('C') + "/corpus";
}

std::map<std::string, double> g_seconds;
std::map<std::string, int64_t> g_size;

void Timed(const char* name, const std::function<void()>& work) {
  benchmark::RegisterBenchmark(
      name,
      [name, work](benchmark::State& state) {
        for (auto _ : state) {
          auto start = std::chrono::steady_clock::now();
          work();
          double s =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          g_seconds[name] = s;
          state.SetIterationTime(s);
        }
      })
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

std::string ReadHost(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TCorpus& corpus = Corpus();
  std::vector<std::string> stored;  // the zlib loop's output, for its inflate step

  Timed("add/archive", [&] {
    orln::TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\out\\files.1");
    for (const std::string& n : corpus.names) c.FilesToProcess().Add("C:\\corpus\\" + n);
    c.Add(false, 1);
    g_size["archive"] =
        static_cast<int64_t>(fs::file_size(corpus.machine->DriveFolder('C') + "/out/files.1"));
  });
  Timed("extract/archive", [&] {
    orln::TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\out\\files.1");
    c.SetExtractDirectory("C:\\extracted");
    for (const std::string& n : corpus.names) c.FilesToProcess().Add("C:\\corpus\\" + n);
    c.Extract();
  });
  Timed("add/zlib", [&] {
    int64_t total = 0;
    stored.clear();
    for (const std::string& n : corpus.names) {
      std::string data = ReadHost(CorpusDir() + "/" + n);
      uLongf len = compressBound(static_cast<uLong>(data.size()));
      std::string out(len, '\0');
      compress2(reinterpret_cast<Bytef*>(out.data()), &len,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()), 9);
      out.resize(len);
      total += static_cast<int64_t>(len);
      stored.push_back(std::move(out));
    }
    g_size["zlib"] = total;
  });
  Timed("extract/zlib", [&] {
    const std::string dir = corpus.root + "/zlib_out";
    fs::create_directories(dir);
    for (size_t i = 0; i < stored.size(); ++i) {
      uLongf len = static_cast<uLongf>(fs::file_size(CorpusDir() + "/" + corpus.names[i]));
      std::string out(len, '\0');
      uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                 reinterpret_cast<const Bytef*>(stored[i].data()),
                 static_cast<uLong>(stored[i].size()));
      std::ofstream(dir + "/" + corpus.names[i], std::ios::binary) << out;
    }
  });
  const std::string tgz = corpus.root + "/corpus.tgz";
  Timed("add/tar-gzip9", [&] {
    Run("tar -C " + CorpusDir() + " -cf - . | gzip -9 > " + tgz);
    g_size["tar"] = static_cast<int64_t>(fs::file_size(tgz));
  });
  Timed("extract/tar-gzip9", [&] {
    fs::create_directories(corpus.root + "/tar_out");
    Run("tar -C " + corpus.root + "/tar_out -xzf " + tgz);
  });
  benchmark::RunSpecifiedBenchmarks();

  const double mb = static_cast<double>(corpus.bytes) / (1 << 20);
  std::printf("\ncorpus: %zu files, %.1f MB\n", corpus.names.size(), mb);
  std::printf("%-10s %12s %12s %12s %10s %10s\n", "step", "archive ms", "zlib ms", "tar ms",
              "vs zlib", "vs tar");
  for (const char* step : {"add", "extract"}) {
    double a = g_seconds[std::string(step) + "/archive"];
    double z = g_seconds[std::string(step) + "/zlib"];
    double t = g_seconds[std::string(step) + "/tar-gzip9"];
    std::printf("%-10s %12.1f %12.1f %12.1f %10.2f %10.2f   (archive %.1f MB/s)\n", step, a * 1000,
                z * 1000, t * 1000, z > 0 ? a / z : 0.0, t > 0 ? a / t : 0.0, a > 0 ? mb / a : 0.0);
  }
  std::printf("output bytes: archive %lld, zlib %lld, tar+gzip %lld\n",
              static_cast<long long>(g_size["archive"]), static_cast<long long>(g_size["zlib"]),
              static_cast<long long>(g_size["tar"]));
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak memory: %ld KB\n", ru.ru_maxrss);
  fs::remove_all(corpus.root);
  benchmark::Shutdown();
  return 0;
}
