// The process-wide signature list and its readers.
//
// The list is a std::shared_ptr (for
// callers that hold a table) plus a plain pointer to the same table that
// sig_lookup reads. A plain reader announces the table it reads in one of
// kReaders hazard slots; a change publishes the new pointer, then waits until
// no slot names the old table before letting its reference to it go (see
// enter_current and publish_locked).
#include "detect/sigs.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "detect/sigs_internal.h"

struct alignas(64) ReaderSlot {
    std::atomic<const SigTable*> table{nullptr};
};

namespace {

// The owner of the current table, for sigs_snapshot; read and replaced only
// through std::atomic_load / std::atomic_store.
SigSnapshot g_table;
// The same table for the plain readers (sig_lookup, sig_lookup_digest,
// sig_count), which never touch the shared_ptr's counts.
std::atomic<const SigTable*> g_current{nullptr};
// Serialises the changes (each one reads the list, builds and publishes).
std::mutex g_change;

// Hazard slots: a reader holds one, naming the table it reads, for the
// length of a lookup.
ReaderSlot g_readers[kReaders];

} // namespace

// Memory ordering (every operation here but the clearing of a slot is
// sequentially consistent, so all of them fall in one total order S):
//   reader:    R1 p = g_current    R2 slot: null -> p    R3 g_current == p ?
//              ... reads of p ...  R4 slot = null (a release)
//   publisher: P1 g_current = q    P2 read every slot    P3 drop p
// A reader uses p only when R3 saw p, so R3 comes before P1 in S; R2 comes
// before R3, and P2 after P1, so P2 finds p in the slot or the null of a
// later release (an earlier clearing of the slot happens before R2, whose
// exchange read it, so P2 cannot see that one), and the publisher waits for
// the slot to be cleared. R4 releases the reader's reads of p, and P2's load
// that sees it acquires them, so the table is freed only after they are
// done; R4 needs no fence of its own. A reader whose R3 sees another pointer
// gives the slot back without having touched p. A table may be published
// again while a slow reader is between R1 and R2; R3 then sees it current,
// and it is alive.
const SigTable* enter_current(ReaderSlot** held)
{
    int local = 0;
    // Start where this thread's stack points: threads mostly keep to their
    // own slots, so a slot's cache line stays with one core.
    const uint64_t where = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local) >> 12);
    size_t at = static_cast<size_t>((where * 0x9e3779b97f4a7c15ull) >> 58) % kReaders;
    for (;;) {
        const SigTable* t = g_current.load();
        if (t == nullptr) {
            return nullptr;
        }
        for (size_t tries = 0;; ++tries) {
            const SigTable* expected = nullptr;
            if (g_readers[at].table.compare_exchange_strong(expected, t)) {
                break;
            }
            at = (at + 1) % kReaders;
            if (tries >= kReaders) {
                std::this_thread::yield(); // more readers than slots
                tries = 0;
            }
        }
        if (g_current.load() == t) {
            *held = &g_readers[at];
            return t;
        }
        g_readers[at].table.store(nullptr);
    }
}

void leave(ReaderSlot* held)
{
    held->table.store(nullptr, std::memory_order_release);
}

namespace {

// Publishes `t` (under g_change) and returns once no plain reader can still
// be reading the table it replaced; the caller's `old` reference may then be
// the last one.
void publish_locked(const SigSnapshot& t)
{
    const SigSnapshot old = std::atomic_load(&g_table);
    std::atomic_store(&g_table, t);
    g_current.store(t.get());
    if (old == nullptr || old == t) {
        return;
    }
    for (size_t i = 0; i < kReaders; ++i) {
        while (g_readers[i].table.load() == old.get()) {
            std::this_thread::yield();
        }
    }
}

} // namespace

SigSnapshot sigs_snapshot()
{
    return std::atomic_load(&g_table);
}

void sigs_publish(SigSnapshot table)
{
    std::lock_guard<std::mutex> lock(g_change);
    publish_locked(table);
}

int sig_add(const char* hash, const char* name)
{
    std::lock_guard<std::mutex> lock(g_change);
    SigSnapshot old = std::atomic_load(&g_table);
    SigBuilderPtr b(sig_builder_new(0));
    if (!b || !sig_builder_add_table(b.get(), old.get()) || !sig_builder_add(b.get(), hash, name)) {
        return 0;
    }
    SigSnapshot t = sig_builder_finish(b.get());
    if (!t) {
        return 0;
    }
    publish_locked(t);
    return 1;
}

void sigs_add_builtin()
{
    sig_add(SIG_EICAR_SHA256, SIG_EICAR_NAME);
}

void sigs_free()
{
    sigs_publish(SigSnapshot());
}

int sig_count()
{
    ReaderSlot* held = nullptr;
    const SigTable* t = enter_current(&held);
    if (t == nullptr) {
        return 0;
    }
    const int count = t->count;
    leave(held);
    return count;
}

int sig_lookup(const char* hash, char* name, size_t name_size)
{
    // Only the exact lower-case text of a digest matches, as a comparison
    // with the stored text would: 64 lower-case hex digits, then the end.
    if (hash == nullptr) {
        return 0;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (!decode_digest_text(hash, digest)) {
        return 0;
    }
    ReaderSlot* held = nullptr;
    const SigTable* t = enter_current(&held);
    if (t == nullptr) {
        return 0;
    }
    const int found = sig_table_lookup(t, digest, name, name_size);
    leave(held);
    return found;
}

int sig_lookup_digest(const uint8_t digest[SHA256_DIGEST_SIZE], char* name, size_t name_size)
{
    ReaderSlot* held = nullptr;
    const SigTable* t = enter_current(&held);
    if (t == nullptr) {
        return 0;
    }
    const int found = sig_table_lookup(t, digest, name, name_size);
    leave(held);
    return found;
}

// Builds base + text aside and publishes it; base is the current list or,
// for a reload, just the built-in entry.
static int load_text(const char* data, size_t len, bool reload)
{
    std::lock_guard<std::mutex> lock(g_change);
    SigBuilderPtr b(sig_builder_new(len));
    if (!b) {
        return -1;
    }
    if (reload) {
        if (!sig_builder_add_builtin(b.get())) {
            return -1;
        }
    } else if (!sig_builder_add_table(b.get(), std::atomic_load(&g_table).get())) {
        return -1;
    }
    const int before = sig_builder_count(b.get());
    sig_builder_feed(b.get(), data, len);
    SigSnapshot t = sig_builder_finish(b.get());
    if (!t) {
        return -1;
    }
    publish_locked(t);
    return reload ? sig_table_count(t.get()) : sig_table_count(t.get()) - before;
}

int sigs_load_text(const char* data, size_t len)
{
    return load_text(data, len, false);
}

int sigs_reload_text(const char* data, size_t len)
{
    return load_text(data, len, true);
}
