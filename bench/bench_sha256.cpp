// SHA-256 benchmark.
//
//   bench_sha256 [--file PATH] [--openssl-64k KB/S] [--openssl-1k KB/S]
//                [--sha256sum MB/S]
//   bench_sha256 --raw hw-64k|hw-1k|portable-64k|portable-file|hw-file [--file PATH]
//
// Measures the one-shot digest of 64 KiB and 1 KiB buffers on each
// compression path and, with --file, hashing a file read in 64 KiB blocks
// (what scanning a file does). Baseline figures (openssl speed, sha256sum)
// turn into ratio lines. --raw prints one figure in MB/s from a single run
// of about a second, so that run_sha256.sh can alternate it with the
// baselines.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "detect/limits.h"
#include "detect/sha256.h"

namespace {

double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// MB/s (10^6 bytes) of digesting `size`-byte buffers, best of `runs` runs
// of about a second each.
double buffer_rate(size_t size, int runs)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    uint8_t digest[SHA256_DIGEST_SIZE] = {0};
    // Calibrate the repetitions to about a second.
    size_t reps = 16;
    for (;;) {
        const double t0 = now_seconds();
        for (size_t r = 0; r < reps; ++r) {
            data[0] ^= digest[0];
            sha256(data.data(), size, digest);
        }
        if (now_seconds() - t0 > 0.05) {
            reps = static_cast<size_t>(reps * 1.0 / (now_seconds() - t0)) + 1;
            break;
        }
        reps *= 4;
    }
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        const double t0 = now_seconds();
        for (size_t r = 0; r < reps; ++r) {
            data[0] ^= digest[0]; // each digest feeds the next input
            sha256(data.data(), size, digest);
        }
        const double t = now_seconds() - t0;
        best = t < best ? t : best;
    }
    return static_cast<double>(size) * reps / best / 1e6;
}

// MB/s of hashing a whole file in 64 KiB reads, best of `runs`; 0 on error.
double file_rate(const char* path, int runs)
{
    static uint8_t block[TG_SHA256_FILE_BLOCK];
    double best = 1e30;
    double bytes = 0;
    for (int run = 0; run < runs; ++run) {
        FILE* f = fopen(path, "rb");
        if (f == nullptr) {
            return 0;
        }
        const double t0 = now_seconds();
        Sha256Ctx ctx;
        sha256_init(&ctx);
        size_t n;
        bytes = 0;
        while ((n = fread(block, 1, sizeof(block), f)) > 0) {
            sha256_update(&ctx, block, n);
            bytes += static_cast<double>(n);
        }
        uint8_t digest[SHA256_DIGEST_SIZE];
        sha256_final(&ctx, digest);
        const double t = now_seconds() - t0;
        fclose(f);
        best = t < best ? t : best;
    }
    return bytes / best / 1e6;
}

void report(const char* what, double ours, double base, double aim)
{
    if (base > 0 && aim > 0) {
        printf("%s: ours %.0f MB/s, baseline %.0f MB/s, ratio %.2f (aim >= %.1f)\n", what, ours,
               base, ours / base, aim);
    } else if (base > 0) {
        printf("%s: ours %.0f MB/s, baseline %.0f MB/s, ratio %.2f (no aim)\n", what, ours, base,
               ours / base);
    } else {
        printf("%s: ours %.0f MB/s (no baseline given)\n", what, ours);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const char* file = nullptr;
    const char* raw = nullptr;
    double openssl_64k = 0, openssl_1k = 0, sha256sum = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--file") == 0) {
            file = argv[i + 1];
        } else if (strcmp(argv[i], "--raw") == 0) {
            raw = argv[i + 1];
        } else if (strcmp(argv[i], "--openssl-64k") == 0) {
            openssl_64k = atof(argv[i + 1]) * 1000 / 1e6; // openssl prints 1000s of bytes/s
        } else if (strcmp(argv[i], "--openssl-1k") == 0) {
            openssl_1k = atof(argv[i + 1]) * 1000 / 1e6;
        } else if (strcmp(argv[i], "--sha256sum") == 0) {
            sha256sum = atof(argv[i + 1]);
        } else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    const bool hw = sha256_use_hw(true);
    if (raw != nullptr) {
        const bool want_hw = strncmp(raw, "hw-", 3) == 0;
        const char* what = want_hw ? raw + 3 : strncmp(raw, "portable-", 9) == 0 ? raw + 9 : "";
        if (want_hw && !hw) {
            fprintf(stderr, "this CPU has no SHA extensions\n");
            return 1;
        }
        sha256_use_hw(want_hw);
        double rate = 0;
        if (strcmp(what, "64k") == 0) {
            rate = buffer_rate(65536, 1);
        } else if (strcmp(what, "1k") == 0) {
            rate = buffer_rate(1024, 1);
        } else if (strcmp(what, "file") == 0 && file != nullptr) {
            rate = file_rate(file, 1);
        } else {
            fprintf(stderr, "unknown measure %s\n", raw);
            return 2;
        }
        printf("%.1f\n", rate);
        return 0;
    }

    printf("SHA-NI %s\n", hw ? "in use" : "not available on this CPU");
    if (hw) {
        report("sha256 SHA-NI, 64 KiB buffers (openssl speed -evp sha256)", buffer_rate(65536, 4),
               openssl_64k, 0.9);
        report("sha256 SHA-NI, 1 KiB buffers (openssl speed -evp sha256)", buffer_rate(1024, 4),
               openssl_1k, 1.0);
    }
    sha256_use_hw(false);
    report("sha256 portable, 64 KiB buffers (openssl speed -evp sha256)", buffer_rate(65536, 4),
           openssl_64k, 0.0);
    if (file != nullptr) {
        report("sha256 portable, file in 64 KiB reads (sha256sum)", file_rate(file, 3), sha256sum,
               0.8);
        if (hw) {
            sha256_use_hw(true);
            report("sha256 SHA-NI, file in 64 KiB reads (sha256sum)", file_rate(file, 3), sha256sum,
                   0.0);
        }
    }
    sha256_use_hw(true);
    return 0;
}
