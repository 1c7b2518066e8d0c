#include "detect/inspect_win32.h"

#include "common/handles.h"
#include "detect/fileio_win32.h"
#include "detect/inspect.h"
#include "detect/sigs.h"
#include "detect/sigs_win32.h"

#include <algorithm>
#include <cstring>

static void take_identity(HANDLE h, FileIdentity* id)
{
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(h, &fi))
        return;
    id->volume = fi.dwVolumeSerialNumber;
    id->index_high = fi.nFileIndexHigh;
    id->index_low = fi.nFileIndexLow;
    id->size_high = fi.nFileSizeHigh;
    id->size_low = fi.nFileSizeLow;
    id->written = fi.ftLastWriteTime;
    id->valid = 1;
}

int inspect_file_defer(const char* path, char* threat, size_t threat_size, FileIdentity* id,
                       InspectDefer* defer)
{
    if (threat != nullptr && threat_size > 0)
        threat[0] = '\0';
    if (id != nullptr)
        *id = FileIdentity{};
    if (defer != nullptr)
        defer->pending = 0;
    // The one open of the file: everything below reads through this handle.
    HandleHolder h(open_disk_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  FILE_FLAG_SEQUENTIAL_SCAN));
    if (!h.ok())
        return kVerdictCannotOpen;

    uint64_t size = 0;
    LARGE_INTEGER li{};
    if (GetFileSizeEx(h.get(), &li) && li.QuadPart > 0)
        size = static_cast<uint64_t>(li.QuadPart);

    ReadBuffers b;
    read_buffers_take(&b);
    const size_t head_len = read_full(h.get(), b.head, b.head_size);

    char sig_name[TG_SIG_NAME_SIZE];
    const char* found = nullptr;
    int verdict = kVerdictClean;
    bool decided = false;
    if (inspect_needs_hash(b.head, head_len, size)) {
        Sha256Ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, b.head, head_len);
        // A short head means the end of the file (or a read error) came first.
        if (head_len == b.head_size)
            sha256_feed_rest(h.get(), &ctx, b.block, b.block_size);
        uint8_t digest[SHA256_DIGEST_SIZE];
        sha256_final(&ctx, digest);
        if (defer != nullptr && !sigs_ready()) {
            verdict = inspect_verdict(path, b.head, head_len, size, nullptr, threat, threat_size);
            if (verdict == kVerdictClean) {
                memcpy(defer->digest, digest, sizeof(defer->digest));
                defer->pending = 1;
                decided = true;
            }
        }
        if (!decided) {
            sigs_wait_ready();
            if (sig_lookup_digest(digest, sig_name, sizeof(sig_name)))
                found = sig_name;
        }
    }
    if (!decided)
        verdict = inspect_verdict(path, b.head, head_len, size, found, threat, threat_size);
    // The identity is taken from the handle that was read, and only for a
    // threat: under Wine the volume serial number costs a round trip to the
    // mount manager, several times the rest of a small file's inspection.
    if (verdict == kVerdictThreat && id != nullptr)
        take_identity(h.get(), id);
    read_buffers_give(&b);
    return verdict;
}

int inspect_file_ex(const char* path, char* threat, size_t threat_size, FileIdentity* id)
{
    return inspect_file_defer(path, threat, threat_size, id, nullptr);
}

int inspect_file(const char* path, char* threat, size_t threat_size)
{
    return inspect_file_ex(path, threat, threat_size, nullptr);
}

size_t read_head(const char* path, void* buffer, size_t count)
{
    HandleHolder h(open_disk_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  FILE_FLAG_SEQUENTIAL_SCAN));
    if (!h.ok())
        return 0;
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(count, 0x7fffffff));
    if (!ReadFile(h.get(), buffer, want, &n, nullptr))
        return 0;
    return n;
}
