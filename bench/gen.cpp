// fg-bench-gen: the benchmarks' data, the same bytes on every machine for a given seed.
//
//   fg-bench-gen random FILE SIZE SEED
//       SIZE bytes of uniform noise: a download that no compression layer can shrink.
//   fg-bench-gen tree DIR SEED GROUP...
//       GROUP is COUNT:SIZE[-MAX]:PATTERN: COUNT files of SIZE bytes (or uniformly from SIZE to
//       MAX), named by PATTERN under DIR, where {i} is the file's number (five digits) and {g}
//       its hundred (three digits), so "2000:1K-64K:small/g{g}/f{i}.txt" spreads 2,000 files
//       over 20 folders; {m} is the number modulo 50 (two digits), for exactly 50 folders. The
//       content is text-like with some noise, so MSZIP compresses it to about a third: the decoder
//       has real work but the cabinet is not trivially small.
// Sizes take K, M and G suffixes (binary).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// splitmix64 seeds xoshiro256**: fast, and stable across compilers and libraries.
class Random {
public:
    explicit Random(uint64_t seed)
    {
        for (uint64_t &word : m_state) {
            seed += 0x9e3779b97f4a7c15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }

    uint64_t next()
    {
        const uint64_t result = rotl(m_state[1] * 5, 7) * 9;
        const uint64_t t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = rotl(m_state[3], 45);
        return result;
    }

    // Uniform enough in [0, n) for test data.
    uint64_t below(uint64_t n) { return next() % n; }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t m_state[4];
};

[[noreturn]] void fail(const std::string &why)
{
    std::fprintf(stderr, "fg-bench-gen: %s\n", why.c_str());
    std::exit(1);
}

uint64_t parseSize(const std::string &text)
{
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str())
        fail("not a size: " + text);
    const std::string suffix(end);
    if (suffix.empty())
        return value;
    if (suffix == "K")
        return value << 10;
    if (suffix == "M")
        return value << 20;
    if (suffix == "G")
        return value << 30;
    fail("not a size: " + text);
}

class Output {
public:
    explicit Output(const fs::path &path)
    {
        fs::create_directories(path.parent_path());
        m_file = std::fopen(path.c_str(), "wb");
        if (!m_file)
            fail("cannot write " + path.string());
        std::setvbuf(m_file, nullptr, _IOFBF, 1 << 20);
    }
    ~Output()
    {
        if (std::fclose(m_file) != 0)
            fail("cannot finish a file");
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    void write(const void *data, size_t size)
    {
        if (std::fwrite(data, 1, size, m_file) != size)
            fail("write failed");
    }

private:
    FILE *m_file = nullptr;
};

void writeRandom(const fs::path &path, uint64_t size, uint64_t seed)
{
    Random random(seed);
    Output out(path);
    std::vector<uint64_t> block(1 << 14);
    while (size > 0) {
        for (uint64_t &word : block)
            word = random.next();
        const uint64_t bytes = std::min<uint64_t>(size, block.size() * sizeof(uint64_t));
        out.write(block.data(), bytes);
        size -= bytes;
    }
}

// Words from a fixed vocabulary, common ones far more often than rare ones, lines that recur,
// and a short run of noise in about one line of thirty: roughly what a product's data and help
// files look like to deflate.
class TextMaker {
public:
    explicit TextMaker(uint64_t seed) : m_random(seed)
    {
        Random words(0x5eed);
        m_words.resize(4096);
        for (std::string &word : m_words) {
            const uint64_t length = 2 + words.below(9);
            for (uint64_t i = 0; i < length; ++i)
                word.push_back(static_cast<char>('a' + words.below(26)));
        }
        m_recent.resize(64);
    }

    void fill(std::string &out, uint64_t size)
    {
        out.clear();
        while (out.size() < size) {
            const uint64_t r = m_random.next();
            std::string &line = m_recent[(r >> 8) & 63];
            if ((r & 0xff) < 8) {
                const uint64_t noise = 16 + ((r >> 16) & 63);
                for (uint64_t i = 0; i < noise; i += 8) {
                    const uint64_t bits = m_random.next();
                    out.append(reinterpret_cast<const char *>(&bits), 8);
                }
            }
            if ((r >> 24 & 0xff) >= 80 || line.empty()) {
                line.clear();
                const uint64_t count = 4 + ((r >> 32) & 7);
                for (uint64_t i = 0; i < count; ++i) {
                    // The product of two uniform numbers leans towards the common words.
                    const uint64_t a = m_random.next();
                    line += m_words[((a & 0xfff) * ((a >> 12) & 0xfff)) >> 12];
                    line.push_back(' ');
                }
                line.push_back('\n');
            }
            out += line;
        }
        out.resize(size);
    }

private:
    Random m_random;
    std::vector<std::string> m_words;
    std::vector<std::string> m_recent;
};

std::string expand(const std::string &pattern, uint64_t index)
{
    char number[32];
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 3, "{i}") == 0) {
            std::snprintf(number, sizeof number, "%05llu", static_cast<unsigned long long>(index));
            out += number;
            i += 2;
        } else if (pattern.compare(i, 3, "{g}") == 0) {
            std::snprintf(number, sizeof number, "%03llu",
                          static_cast<unsigned long long>(index / 100));
            out += number;
            i += 2;
        } else if (pattern.compare(i, 3, "{m}") == 0) {
            std::snprintf(number, sizeof number, "%02llu",
                          static_cast<unsigned long long>(index % 50));
            out += number;
            i += 2;
        } else {
            out.push_back(pattern[i]);
        }
    }
    return out;
}

void writeTree(const fs::path &dir, uint64_t seed, const std::vector<std::string> &groups)
{
    Random sizes(seed);
    TextMaker maker(seed ^ 0x7e47);
    std::string content;
    for (const std::string &group : groups) {
        const size_t colon1 = group.find(':');
        const size_t colon2 = group.find(':', colon1 + 1);
        if (colon1 == std::string::npos || colon2 == std::string::npos)
            fail("not COUNT:SIZE[-MAX]:PATTERN: " + group);
        const uint64_t count = parseSize(group.substr(0, colon1));
        const std::string range = group.substr(colon1 + 1, colon2 - colon1 - 1);
        const std::string pattern = group.substr(colon2 + 1);
        const size_t dash = range.find('-');
        const uint64_t low = parseSize(range.substr(0, dash));
        const uint64_t high = dash == std::string::npos ? low : parseSize(range.substr(dash + 1));
        if (high < low)
            fail("empty size range: " + range);
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t size = low + sizes.below(high - low + 1);
            maker.fill(content, size);
            Output out(dir / expand(pattern, i));
            out.write(content.data(), content.size());
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "random" && argc == 5) {
        writeRandom(argv[2], parseSize(argv[3]), parseSize(argv[4]));
        return 0;
    }
    if (command == "tree" && argc >= 5) {
        writeTree(argv[2], parseSize(argv[3]), std::vector<std::string>(argv + 4, argv + argc));
        return 0;
    }
    std::fputs("usage: fg-bench-gen random FILE SIZE SEED\n"
               "       fg-bench-gen tree DIR SEED COUNT:SIZE[-MAX]:PATTERN...\n",
               stderr);
    return 2;
}
