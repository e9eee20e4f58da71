// No CHAP secret leaves VxdAttach or VxdDetach, and every copy they make is wiped before it is
// freed. A program of its own: it replaces operator new and delete to look at each block as it
// is freed, which memory checkers that replace them too (valgrind) would take for misuse.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <functional>
#include <new>

#include "tests/attach_support.h"

namespace vxd::test {
namespace {

// Every block that the program hands back to operator delete while a test watches is searched
// for the secrets: a copy that the library made in a string or a vector and freed unwiped would
// show here. The simulated machine does the same for the process heap.
const std::vector<std::vector<std::uint8_t>> *watchedSecrets = nullptr;
bool secretFreedUnwiped = false;

void Watch(const void *block, std::size_t size) {
    // The machine keeps the secrets that a target holds; only the library's frees count.
    if (watchedSecrets == nullptr || block == nullptr || sim::MachineCall::Inside()) {
        return;
    }
    const auto *first = static_cast<const std::uint8_t *>(block);
    for (const std::vector<std::uint8_t> &secret : *watchedSecrets) {
        if (std::search(first, first + size, secret.begin(), secret.end()) != first + size) {
            secretFreedUnwiped = true;
        }
    }
}

struct WatchFrees {
    explicit WatchFrees(const std::vector<std::vector<std::uint8_t>> &secrets) {
        watchedSecrets = &secrets;
        secretFreedUnwiped = false;
    }
    ~WatchFrees() { watchedSecrets = nullptr; }
    WatchFrees(const WatchFrees &) = delete;
    WatchFrees &operator=(const WatchFrees &) = delete;
};

TEST(Chap, NoSecretIsWrittenAnywhereAndEveryCopyIsWipedBeforeItIsFreed) {
    const std::vector<std::vector<std::uint8_t>> secrets = {kSecret, kInitiatorSecret};
    struct Case {
        const char *name;
        std::function<void(Machine &, Attach &)> setUp;
        int status;
    };
    const std::vector<Case> cases = {
        {"a mutual attach that succeeds", [](Machine &, Attach &) {}, VXD_STATUS_OK},
        {"a login refused", [](Machine &m, Attach &) { m.loginStatuses = {0xEFFF0009}; },
         VXD_STATUS_AUTH_FAILED},
        {"a volume that never comes",
         [](Machine &m, Attach &a) {
             m.onLogin.drives.clear();
             a.request.letterWaitMs = 2000;
         },
         VXD_STATUS_NO_LETTER},
        {"a cancel",
         [](Machine &m, Attach &a) {
             m.onLogin.drives.clear();
             a.request.cancelEvent = m.CreateEvent();
             m.SignalEventAt(a.request.cancelEvent, 1500);
         },
         VXD_STATUS_CANCELLED},
        {"a service that stops at the secret",
         [](Machine &m, Attach &) { m.chapSecretStatus = kServiceNotRunning; },
         VXD_STATUS_SERVICE_UNAVAILABLE},
    };
    for (const Case &c : cases) {
        Machine machine;
        ChapTarget(machine);
        machine.loginStatuses = {kTargetNotFound, 0};
        Attach attach;
        WithChap(attach, kSecret);
        attach.request.flags = VXD_ATTACH_SET_INITIATOR_SECRET | VXD_ATTACH_DISCOVERY_CHAP;
        attach.request.initiatorSecret = kInitiatorSecret.data();
        attach.request.initiatorSecretLength = static_cast<VxdULong>(kInitiatorSecret.size());
        c.setUp(machine, attach);
        {
            const WatchFrees watching(secrets);
            EXPECT_EQ(attach.Run(), c.status) << c.name;
            EXPECT_FALSE(secretFreedUnwiped) << c.name;
        }
        // The copies were made on the process heap, and each came back wiped.
        EXPECT_FALSE(machine.FreedHeapBlocks().empty()) << c.name;
        EXPECT_EQ(machine.LiveHeapBlocks(), 0u) << c.name;
        for (const auto &block : machine.FreedHeapBlocks()) {
            for (const auto &secret : secrets) {
                EXPECT_FALSE(Holds(block, secret)) << c.name;
            }
        }
        // Nothing the library wrote holds a secret: progress, debug channel, the calls' record.
        for (const auto &secret : secrets) {
            for (const std::string &line : attach.progress) {
                EXPECT_FALSE(Holds(line, secret)) << c.name << ": " << line;
            }
            for (const std::string &line : machine.TraceTexts()) {
                EXPECT_FALSE(Holds(line, secret)) << c.name << ": " << line;
            }
            for (const sim::CallRecord &call : machine.Calls()) {
                EXPECT_FALSE(Holds(call.text, secret)) << c.name << ": " << call.text;
                for (const auto &[key, value] : call.strings) {
                    EXPECT_FALSE(Holds(value, secret)) << c.name << ": " << key;
                }
            }
        }
        ExpectClean(machine);
    }

    // The persistent logins' answer carries their credentials behind the records: a detach
    // lists them, and wipes that answer too.
    Machine machine;
    ChapTarget(machine);
    machine.loginStatuses = {kTargetNotFound, 0};
    Attach attach;
    WithChap(attach, kSecret);
    ASSERT_EQ(attach.Run(), VXD_STATUS_OK);
    const std::size_t freedBefore = machine.FreedHeapBlocks().size();
    Detach detach;
    {
        const WatchFrees watching(secrets);
        EXPECT_EQ(detach.Run(), VXD_STATUS_OK);
        EXPECT_FALSE(secretFreedUnwiped);
    }
    EXPECT_GT(machine.FreedHeapBlocks().size(), freedBefore);
    for (const auto &block : machine.FreedHeapBlocks()) {
        EXPECT_FALSE(Holds(block, kSecret));
    }

    // VxdListTargets' discovery CHAP: its copy goes wiped, and no line shows it.
    Machine listing;
    listing.portalChap[kPortal] = sim::Chap{kChapUser, kSecret};
    std::vector<std::string> progress;
    VxdListTargetsRequest request{};
    request.size = sizeof request;
    request.portalAddress = kPortal;
    request.chapUserName = kChapUser;
    request.chapSecret = kSecret.data();
    request.chapSecretLength = static_cast<VxdULong>(kSecret.size());
    request.progress = &Collect;
    request.progressContext = &progress;
    VxdULong size = 0;
    {
        const WatchFrees watching(secrets);
        EXPECT_EQ(VxdListTargets(&request, nullptr, &size), VXD_STATUS_BUFFER_TOO_SMALL);
        EXPECT_FALSE(secretFreedUnwiped);
    }
    EXPECT_FALSE(listing.FreedHeapBlocks().empty());
    for (const auto &block : listing.FreedHeapBlocks()) {
        EXPECT_FALSE(Holds(block, kSecret));
    }
    for (const std::string &line : progress) {
        EXPECT_FALSE(Holds(line, kSecret)) << line;
    }
}

} // namespace
} // namespace vxd::test

// The program's own allocations, so that a test can look at each block as it is freed.
void *operator new(std::size_t size) {
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete(void *block) noexcept {
    if (block != nullptr) {
        vxd::test::Watch(block, malloc_usable_size(block));
    }
    std::free(block);
}

void operator delete(void *block, std::size_t size) noexcept {
    vxd::test::Watch(block, size);
    std::free(block);
}

// The forms that do not throw (std::stable_sort's buffer, for one) must pair with the same heap.
void *operator new(std::size_t size, const std::nothrow_t & /*tag*/) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void *block, const std::nothrow_t & /*tag*/) noexcept {
    operator delete(block);
}

void *operator new[](std::size_t size) { return operator new(size); }

void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept {
    return operator new(size, tag);
}

void operator delete[](void *block) noexcept { operator delete(block); }

void operator delete[](void *block, std::size_t /*size*/) noexcept { operator delete(block); }

void operator delete[](void *block, const std::nothrow_t & /*tag*/) noexcept {
    operator delete(block);
}
