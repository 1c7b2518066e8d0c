// Signature list benchmark.
//
//   bench_sigs gen COUNT NAMES OUT.db OUT.hsb   write COUNT signatures as a
//       signatures.db and as a ClamAV .hsb; NAMES is "shared" (2,000 family
//       names) or "unique" (one name per line)
//   bench_sigs load FILE.db                     load the file as the program
//       does (64 KiB reads into the builder) and print the time; run it
//       under /usr/bin/time -v for the peak memory
//   bench_sigs lookup FILE.db [QUERIES]         our lookups against a
//       std::unordered_map<std::string, std::string> keyed by the hex text
//
// Loading and memory are compared with ClamAV by run_sigs.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "detect/sigs.h"

namespace {

double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void digest_for(uint64_t i, uint8_t digest[32])
{
    uint8_t seed[8];
    for (int k = 0; k < 8; ++k) {
        seed[k] = static_cast<uint8_t>(i >> (8 * k));
    }
    sha256(seed, sizeof(seed), digest);
}

std::string name_for(uint64_t i, bool unique)
{
    static const char* kinds[] = {"Win.Trojan", "Win.Malware", "Doc.Dropper", "Js.Downloader",
                                  "Win.Ransomware"};
    char buf[96];
    if (unique) {
        snprintf(buf, sizeof(buf), "%s.Agent-%llu-0", kinds[i % 5],
                 static_cast<unsigned long long>(i));
    } else {
        const uint64_t family = (i * 2654435761u) % 2000;
        snprintf(buf, sizeof(buf), "%s.Family%llu", kinds[family % 5],
                 static_cast<unsigned long long>(family));
    }
    return buf;
}

int cmd_gen(int argc, char** argv)
{
    if (argc < 6) {
        return 2;
    }
    const uint64_t count = strtoull(argv[2], nullptr, 10);
    const bool unique = strcmp(argv[3], "unique") == 0;
    FILE* db = fopen(argv[4], "wb");
    FILE* hsb = fopen(argv[5], "wb");
    if (db == nullptr || hsb == nullptr) {
        fprintf(stderr, "cannot create the output files\n");
        return 1;
    }
    fputs("# Tallowguard signature database\n", db);
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t digest[32];
        char hex[65];
        digest_for(i, digest);
        sha256_digest_hex(digest, hex);
        const std::string name = name_for(i, unique);
        fprintf(db, "%s %s\n", hex, name.c_str());
        fprintf(hsb, "%s:%llu:%s\n", hex, 1234ull, name.c_str());
    }
    fclose(db);
    fclose(hsb);
    return 0;
}

bool read_file(const char* path, std::string* out)
{
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        out->append(buf, n);
    }
    fclose(f);
    return true;
}

// Loads the way the program does: the file size as the hint, then 64 KiB
// reads fed to the builder.
SigSnapshot load_streaming(const char* path)
{
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        return SigSnapshot();
    }
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    SigBuilderPtr b(sig_builder_new(size > 0 ? static_cast<size_t>(size) : 0));
    sig_builder_add_builtin(b.get());
    static char buf[TG_SHA256_FILE_BLOCK];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        sig_builder_feed(b.get(), buf, n);
    }
    fclose(f);
    return sig_builder_finish(b.get());
}

int cmd_load(int argc, char** argv)
{
    if (argc < 3) {
        return 2;
    }
    const double t0 = now_seconds();
    SigSnapshot t = load_streaming(argv[2]);
    const double t1 = now_seconds();
    if (!t) {
        fprintf(stderr, "load failed\n");
        return 1;
    }
    printf("load: %d signatures, %zu distinct, %.1f MB of table, %.3f s\n",
           sig_table_count(t.get()), sig_table_distinct(t.get()),
           sig_table_bytes(t.get()) / 1048576.0, t1 - t0);
    return 0;
}

void report(const char* what, double ours, double base, const char* unit, double aim)
{
    printf("%s: ours %.1f %s, baseline %.1f %s, ratio %.2f (aim >= %.1f)\n", what, ours, unit, base,
           unit, ours / base, aim);
}

int cmd_lookup(int argc, char** argv)
{
    if (argc < 3) {
        return 2;
    }
    const size_t queries = argc > 3 ? strtoull(argv[3], nullptr, 10) : 2000000;
    std::string text;
    if (!read_file(argv[2], &text)) {
        fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    sigs_reload_text(text.data(), text.size());
    SigSnapshot snap = sigs_snapshot();

    // The baseline holds the same signatures, keyed by the digest text.
    std::unordered_map<std::string, std::string> base;
    std::vector<std::string> listed;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        SigLine line;
        if (sig_parse_line(text.data() + pos, end - pos, &line)) {
            char hex[65];
            sha256_digest_hex(line.digest, hex);
            base[hex] = std::string(line.name, line.name_len);
            listed.push_back(hex);
        }
        pos = end + 1;
    }
    text.clear();
    text.shrink_to_fit();

    // Three mixes of queries, in random order: half of them listed digests,
    // one in a hundred (a scan that meets a few threats), and none (a scan
    // of clean files). They are laid out in the order they are asked, so
    // that fetching the query costs the same little for every contestant.
    static const struct {
        const char* name;
        size_t listed_every; // one query in this many is a listed digest; 0: none
    } mixes[] = {{"half listed", 2}, {"1% listed", 100}, {"none listed", 0}};
    for (const auto& mix : mixes) {
        const char* mix_name = mix.name;
        std::mt19937_64 rng(1);
        std::vector<size_t> pick(queries);
        for (size_t i = 0; i < queries; ++i) {
            pick[i] = mix.listed_every != 0 && i % mix.listed_every == 0 && !listed.empty()
                          ? rng() % listed.size()
                          : SIZE_MAX;
        }
        std::shuffle(pick.begin(), pick.end(), rng);
        std::vector<std::string> hexes;
        hexes.reserve(queries);
        std::vector<char> texts(queries * 65);
        std::vector<uint8_t> digests(queries * 32);
        for (size_t i = 0; i < queries; ++i) {
            if (pick[i] != SIZE_MAX) {
                hexes.push_back(listed[pick[i]]);
            } else {
                uint8_t d[32];
                digest_for(rng() | (1ull << 63), d);
                char hex[65];
                sha256_digest_hex(d, hex);
                hexes.push_back(hex);
            }
            memcpy(&texts[i * 65], hexes[i].c_str(), 65);
            sha256_parse_hex(hexes[i].c_str(), &digests[i * 32]);
        }

        printf("lookups: %zu queries (%s), %zu signatures\n", queries, mix_name, base.size());
        // Two ways to ask: many independent lookups back to back (the processor
        // overlaps their memory accesses), and one lookup at a time, finished
        // before the next starts, as a scanner does once per file.
        for (int serial = 0; serial < 2; ++serial) {
            // Each contestant runs five times, interleaved with the others; the
            // best run counts, so that a busy machine hurts everyone alike.
            char name[TG_SIG_NAME_SIZE];
            size_t hits[4] = {0, 0, 0, 0};
            double best[4] = {1e30, 1e30, 1e30, 1e30};
            for (int round = 0; round < 5; ++round) {
                for (int who = 0; who < 4; ++who) {
                    size_t h = 0;
                    const double t0 = now_seconds();
                    for (size_t i = 0; i < queries; ++i) {
                        switch (who) {
                        case 0: {
                            auto it = base.find(hexes[i]);
                            if (it != base.end()) {
                                bounded_copy(name, it->second.c_str(), sizeof(name));
                                ++h;
                            }
                            break;
                        }
                        case 1:
                            h += sig_lookup(&texts[i * 65], name, sizeof(name));
                            break;
                        case 2:
                            h += sig_lookup_digest(&digests[i * 32], name, sizeof(name));
                            break;
                        default:
                            h += sig_table_lookup(snap.get(), &digests[i * 32], name, sizeof(name));
                            break;
                        }
                        if (serial) {
                            // Let nothing of the next lookup start early.
                            __asm__ __volatile__("lfence" ::: "memory");
                        }
                    }
                    best[who] = std::min(best[who], now_seconds() - t0);
                    hits[who] = h;
                }
            }
            if (hits[1] != hits[0] || hits[2] != hits[0] || hits[3] != hits[0]) {
                fprintf(stderr, "hit counts differ: %zu %zu %zu %zu\n", hits[0], hits[1], hits[2],
                        hits[3]);
                return 1;
            }
            char mode[64];
            bounded_format(mode, sizeof(mode), "%s, %s", mix_name,
                           serial ? "one at a time" : "back to back");
            const double base_rate = queries / best[0] / 1e6;
            char what[160];
            bounded_format(what, sizeof(what), "lookup by digest text, %s (sig_lookup)", mode);
            report(what, queries / best[1] / 1e6, base_rate, "M/s", 5.0);
            bounded_format(what, sizeof(what), "lookup by binary digest, %s (sig_lookup_digest)",
                           mode);
            report(what, queries / best[2] / 1e6, base_rate, "M/s", 5.0);
            bounded_format(what, sizeof(what), "lookup in a held snapshot, %s (sig_table_lookup)",
                           mode);
            report(what, queries / best[3] / 1e6, base_rate, "M/s", 5.0);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int rc = 2;
    if (argc >= 2 && strcmp(argv[1], "gen") == 0) {
        rc = cmd_gen(argc, argv);
    } else if (argc >= 2 && strcmp(argv[1], "load") == 0) {
        rc = cmd_load(argc, argv);
    } else if (argc >= 2 && strcmp(argv[1], "lookup") == 0) {
        rc = cmd_lookup(argc, argv);
    }
    if (rc == 2) {
        fprintf(stderr, "usage: bench_sigs gen COUNT shared|unique OUT.db OUT.hsb\n"
                        "       bench_sigs load FILE.db\n"
                        "       bench_sigs lookup FILE.db [QUERIES]\n");
    }
    return rc;
}
