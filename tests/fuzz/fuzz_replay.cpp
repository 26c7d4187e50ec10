// Replays a fuzz target's entry function in the ordinary test build: every
// seed input of its corpus, then a few thousand inputs made from the seeds and
// the target's dictionary by a generator with a fixed seed (byte changes,
// inserted dictionary words, splices, cuts and random bytes), so that a run
// always feeds the same inputs. A failing input is printed in hex.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Input = std::string;

std::vector<Input> ReadCorpus() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(TAV_FUZZ_CORPUS)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<Input> inputs;
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The words of a libFuzzer dictionary: lines of the form name="text" or
// "text", with \\, \" and \xNN escapes; other lines are ignored.
std::vector<Input> ReadDictionary() {
  std::vector<Input> words;
  std::ifstream in(TAV_FUZZ_DICT);
  std::string line;
  while (std::getline(in, line)) {
    const size_t open = line.find('"');
    const size_t close = line.rfind('"');
    if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open) continue;
    Input word;
    for (size_t i = open + 1; i < close; ++i) {
      if (line[i] != '\\' || i + 1 >= close) {
        word += line[i];
      } else if (line[i + 1] == 'x' && i + 3 < close && HexDigit(line[i + 2]) >= 0 &&
                 HexDigit(line[i + 3]) >= 0) {
        word += static_cast<char>(HexDigit(line[i + 2]) * 16 + HexDigit(line[i + 3]));
        i += 3;
      } else {
        word += line[++i];
      }
    }
    words.push_back(word);
  }
  return words;
}

std::string Hex(const Input& input) {
  std::ostringstream out;
  for (unsigned char c : input) out << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
  return out.str();
}

void Feed(const Input& input) {
  SCOPED_TRACE("input (hex) " + Hex(input));
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

class Generator {
 public:
  Generator(std::vector<Input> seeds, std::vector<Input> words)
      : seeds_(std::move(seeds)), words_(std::move(words)) {
    if (seeds_.empty()) seeds_.emplace_back();
  }

  Input Next() {
    Input s = Pick(seeds_);
    const int steps = 1 + Below(4);
    for (int i = 0; i < steps; ++i) Mutate(s);
    return s;
  }

 private:
  int Below(size_t n) { return n == 0 ? 0 : static_cast<int>(rng_() % n); }
  const Input& Pick(const std::vector<Input>& v) { return v[static_cast<size_t>(Below(v.size()))]; }
  size_t Place(const Input& s) { return static_cast<size_t>(Below(s.size() + 1)); }

  void Mutate(Input& s) {
    switch (Below(7)) {
      case 0:  // change a byte
        if (!s.empty()) s[static_cast<size_t>(Below(s.size()))] = static_cast<char>(rng_());
        break;
      case 1:  // insert a dictionary word
        if (!words_.empty()) s.insert(Place(s), Pick(words_));
        break;
      case 2: {  // splice in a piece of another seed
        const Input& other = Pick(seeds_);
        const size_t from = Place(other);
        s.insert(Place(s), other.substr(from, static_cast<size_t>(Below(other.size() - from + 1))));
        break;
      }
      case 3:  // cut a piece out
        if (!s.empty()) {
          const size_t from = static_cast<size_t>(Below(s.size()));
          s.erase(from, static_cast<size_t>(Below(s.size() - from + 1)));
        }
        break;
      case 4: {  // insert random bytes
        Input bytes(static_cast<size_t>(1 + Below(8)), '\0');
        for (char& c : bytes) c = static_cast<char>(rng_());
        s.insert(Place(s), bytes);
        break;
      }
      case 5:  // repeat a piece, for inputs longer than the seeds
        if (!s.empty()) {
          const size_t from = static_cast<size_t>(Below(s.size()));
          const Input piece = s.substr(from, static_cast<size_t>(1 + Below(16)));
          for (int n = 1 + Below(64); n > 0; --n) s.insert(from, piece);
        }
        break;
      default:  // cut the end off
        s.resize(Place(s));
        break;
    }
  }

  std::vector<Input> seeds_;
  std::vector<Input> words_;
  std::mt19937 rng_{20261209};
};

constexpr int kGeneratedInputs = 4000;

TEST(FuzzReplay, SeedCorpus) {
  const std::vector<Input> seeds = ReadCorpus();
  ASSERT_FALSE(seeds.empty()) << "no seed inputs in " << TAV_FUZZ_CORPUS;
  for (const Input& s : seeds) Feed(s);
}

TEST(FuzzReplay, GeneratedInputs) {
  Generator gen(ReadCorpus(), ReadDictionary());
  Feed(Input());
  for (int i = 0; i < kGeneratedInputs; ++i) Feed(gen.Next());
}

}  // namespace
