// Throughput of utf8_to_gbk against glibc iconv(3) (UTF-8 to GBK) on the same two 16 MiB corpora,
// measured in the same run: mixed Chinese and ASCII lines, and pure Chinese text. The corpora hold
// only characters both converters map (ASCII and GB2312 hanzi), so both convert every byte, and
// their outputs are compared: a difference makes the run fail.
#include <iconv.h>

#include <time.h>
#include <algorithm>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "table_builds.h"
#include "textconv.h"

namespace {

constexpr std::size_t kCorpusBytes = 16u << 20;
constexpr int kRepeats = 7;

// A number below n from the generator (whose result type is wider than unsigned).
unsigned below(std::mt19937& random, unsigned n) {
    return static_cast<unsigned>(random() % n);
}

void append_utf8(std::string& out, code_point point) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
}

// A hanzi of GB2312 level 1 (leads 0xB0..0xD7), the common characters of running text.
code_point common_hanzi(std::mt19937& random) {
    for (;;) {
        const unsigned lead = 0xB0 + below(random, 40);
        const unsigned trail = 0xA1 + below(random, 94);
        const code_point point = gbk_code_point(lead, trail);
        if (point >= 0x4E00) {
            return point;
        }
    }
}

void append_ascii_word(std::string& out, std::mt19937& random) {
    static const char* const words[] = {"temp=",  "23.5", "OK",   "status", "0x1F",    "rx:",
                                        "[INFO]", "ch3",  "done", "volt",   "1013hPa", "err=0"};
    out += words[below(random, std::size(words))];
    out += ' ';
}

// Log-like lines: ASCII words interleaved with short runs of hanzi.
std::string mixed_corpus(std::mt19937& random) {
    std::string text;
    while (text.size() + 256 < kCorpusBytes) {
        const unsigned pieces = 4 + below(random, 8);
        for (unsigned k = 0; k < pieces; ++k) {
            if (below(random, 2) == 0) {
                append_ascii_word(text, random);
            } else {
                for (unsigned n = 2 + below(random, 6); n > 0; --n) {
                    append_utf8(text, common_hanzi(random));
                }
            }
        }
        text += "\r\n";
    }
    text.resize(kCorpusBytes, '\n');
    return text;
}

std::string chinese_corpus(std::mt19937& random) {
    std::string text;
    while (text.size() + 3 <= kCorpusBytes) {
        append_utf8(text, common_hanzi(random));
    }
    text.resize(kCorpusBytes, '\n');
    return text;
}

// Monotonic seconds. <chrono> is not used: with GBK as the execution character set, g++ 12 rejects
// its "\u00b5s" unit suffix (the micro sign has no GBK code).
double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One timed conversion by utf8_to_gbk, in seconds; out receives the converted text.
double time_utf8_to_gbk(const std::string& in, std::string& out) {
    std::vector<unsigned char> dst(in.size() + 1);
    std::size_t out_len = 0;
    const double start = now_seconds();
    utf8_to_gbk(reinterpret_cast<const unsigned char*>(in.data()), in.size(), dst.data(), &out_len);
    const double elapsed = now_seconds() - start;
    out.assign(reinterpret_cast<const char*>(dst.data()), out_len);
    return elapsed;
}

// The same by iconv(3) in one call; returns a negative value when iconv fails or stops early.
double time_iconv(iconv_t cd, const std::string& in, std::string& out) {
    std::vector<char> dst(in.size() + 1);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src_pos = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    char* dst_pos = dst.data();
    std::size_t dst_left = dst.size();
    const double start = now_seconds();
    const std::size_t rc = iconv(cd, &src_pos, &src_left, &dst_pos, &dst_left);
    const double elapsed = now_seconds() - start;
    if (rc == static_cast<std::size_t>(-1) || src_left != 0) {
        std::perror("iconv");
        return -1;
    }
    out.assign(dst.data(), dst.size() - dst_left);
    return elapsed;
}

// Times both converters in alternating rounds (so machine noise hits both alike), prints the best
// round of each and their ratio; returns false when iconv fails or the outputs differ.
bool bench_corpus(const char* name, const std::string& corpus, iconv_t cd) {
    std::string ours, theirs;
    double ours_s = 1e9, theirs_s = 1e9;
    for (int round = 0; round < kRepeats; ++round) {
        ours_s = std::min(ours_s, time_utf8_to_gbk(corpus, ours));
        const double elapsed = time_iconv(cd, corpus, theirs);
        if (elapsed < 0) {
            return false;
        }
        theirs_s = std::min(theirs_s, elapsed);
    }
    const double mb = static_cast<double>(corpus.size()) / 1e6;
    const double ratio = theirs_s / ours_s;
    std::printf("%-8s %8.1f MB/s utf8_to_gbk  %8.1f MB/s iconv  ratio %5.1fx  %s\n", name,
                mb / ours_s, mb / theirs_s, ratio,
                ratio >= 5.0 ? "(goal 5x met)" : "(goal 5x NOT met)");
    if (ours != theirs) {
        std::printf("%-8s outputs differ (%zu vs %zu bytes)\n", name, ours.size(), theirs.size());
        return false;
    }
    return true;
}

}  // namespace

int main() {
    // The corpora pick hanzi from gbk_to_unicode, built on first use.
    gbk_to_unicode_ready();
    std::mt19937 random(936);
    const std::string mixed = mixed_corpus(random);
    const std::string chinese = chinese_corpus(random);
    std::printf("utf8_to_gbk vs iconv(3) UTF-8 -> GBK, 16 MiB corpora, best of %d runs\n",
                kRepeats);
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::perror("iconv_open(GBK, UTF-8)");
        return 1;
    }
    const bool mixed_ok = bench_corpus("mixed", mixed, cd);
    const bool chinese_ok = bench_corpus("chinese", chinese, cd);
    iconv_close(cd);
    return mixed_ok && chinese_ok ? 0 : 1;
}
