// One scenario file per input through the reader that the runner and the test kit share, on a
// thread with a small stack, as a host's thread may have when it loads the kit. After each the
// harness checks what must hold for any text; AddressSanitizer, LeakSanitizer and
// UndefinedBehaviorSanitizer watch the memory meanwhile, and an allocation over 64 MB counts
// as a fault: the reader reads at most 1 MiB.
//
// The dictionary (scenario.dict) holds the schema's keys and the JSON around them; the seeds
// are fuzz/scenario_corpus and the examples in scenarios/.
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/scenario/scenario.h"

namespace {

namespace scn = vxd::scenario;

constexpr char kFileName[] = "fuzz.json";
constexpr std::size_t kFileNameLength = sizeof kFileName - 1;
// The most a message may say after the file's name: values and paths in it are cut.
constexpr std::size_t kLongestProblem = 400;
// Far less than the megabyte a Windows program's thread has by default: whatever a text
// holds, the reader must not need a stack in proportion to it.
constexpr std::size_t kStackBytes = std::size_t{256} * 1024;

struct Reading {
    std::string text;
    bool accepted = false;
    scn::Scenario scenario;
    std::string error;
};

void *Read(void *argument) {
    auto &reading = *static_cast<Reading *>(argument);
    reading.accepted = scn::ParseScenario(reading.text, kFileName, reading.scenario, reading.error);
    return nullptr;
}

// Reads the text on a thread of its own, with the small stack. The stack is the same memory
// each time: one mapped and unmapped for every thread takes most of the time.
Reading ReadOnSmallStack(const std::string &text) {
    alignas(64) static char stack[kStackBytes];
    Reading reading;
    reading.text = text;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack, sizeof stack);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, &Read, &reading) != 0) {
        std::fprintf(stderr, "scenario fuzzer: cannot start a thread\n");
        std::abort();
    }
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return reading;
}

[[noreturn]] void Fail(const Reading &reading, const std::string &what) {
    std::fprintf(stderr, "scenario fuzzer: %s\n  accepted: %d\n  message: %s\n", what.c_str(),
                 reading.accepted ? 1 : 0, reading.error.c_str());
    std::abort();
}

bool HasControlCharacter(const std::string &text) {
    return std::any_of(text.begin(), text.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F;
    });
}

// A message "fuzz.json:LINE:COLUMN: ..." must point into the text.
void CheckPosition(const Reading &reading) {
    const char *at = reading.error.c_str() + kFileNameLength;
    char *end = nullptr;
    if (*at != ':' || std::isdigit(static_cast<unsigned char>(at[1])) == 0) {
        return;
    }
    const unsigned long line = std::strtoul(at + 1, &end, 10);
    if (*end != ':') {
        Fail(reading, "a line without a column");
    }
    const unsigned long column = std::strtoul(end + 1, nullptr, 10);
    const auto lines =
        static_cast<unsigned long>(std::count(reading.text.begin(), reading.text.end(), '\n') + 1);
    if (line == 0 || column == 0 || line > lines || column > reading.text.size() + 1) {
        Fail(reading, "the position lies outside the text");
    }
}

void CheckRefusal(const Reading &reading) {
    const std::string &error = reading.error;
    if (error.compare(0, kFileNameLength, kFileName) != 0 || error.size() == kFileNameLength ||
        error[kFileNameLength] != ':') {
        Fail(reading, "the message does not start with the file's name");
    }
    if (HasControlCharacter(error)) {
        Fail(reading, "the message is not one line of printable text");
    }
    if (error.size() > kFileNameLength + kLongestProblem) {
        Fail(reading, "the message is longer than " + std::to_string(kLongestProblem));
    }
    // The parser's words follow the reader's first "malformed JSON: "; the text's own may
    // follow later, in what the parser quotes.
    const std::string malformed = ": malformed JSON: ";
    const std::size_t problem = error.find(malformed);
    if (problem != std::string::npos &&
        (error.compare(problem + malformed.size(), 1, "[") == 0 ||
         error.compare(problem + malformed.size(), 11, "parse error") == 0)) {
        Fail(reading, "the message holds the parser's exception tag or position");
    }
    CheckPosition(reading);
}

void CheckName(const Reading &reading, const std::string &name) {
    if (name.find('\0') != std::string::npos) {
        Fail(reading, "an accepted name holds a NUL, which ends it as a C string");
    }
}

void CheckLetter(const Reading &reading, char letter) {
    if (letter < 'A' || letter > 'Z') {
        Fail(reading, "an accepted drive letter is not one from A to Z");
    }
}

// A drive has a letter, or else it is a volume known by its name alone.
void CheckDrive(const Reading &reading, const scn::Drive &drive) {
    if (drive.letter != '\0') {
        CheckLetter(reading, drive.letter);
    } else if (drive.volume.rfind("\\\\?\\Volume{", 0) != 0 || drive.volume.back() != '\\') {
        Fail(reading, "an accepted drive has neither a letter nor a volume name");
    }
    CheckName(reading, drive.volume);
}

void CheckAcceptance(const Reading &reading) {
    const scn::Scenario &scenario = reading.scenario;
    if (reading.text.find('\0') != std::string::npos) {
        Fail(reading, "a text with a NUL byte was accepted");
    }
    for (const scn::PortalAnswer &portal : scenario.portals) {
        CheckName(reading, portal.address);
    }
    for (const scn::TargetLogins &target : scenario.targets) {
        CheckName(reading, target.target);
        for (const auto &delayed : target.onLogin ? target.onLogin->drives
                                                  : std::vector<scn::LoginEffect::DelayedDrive>()) {
            CheckDrive(reading, delayed.drive);
        }
    }
    for (const scn::Session &session : scenario.sessions) {
        CheckName(reading, session.target);
    }
    for (const scn::PersistentLogin &login : scenario.persistentLogins) {
        CheckName(reading, login.target);
        CheckName(reading, login.portal ? login.portal->address : std::string());
    }
    for (std::size_t i = 0; i < scenario.registeredPortals.size(); ++i) {
        const scn::PortalAddress &portal = scenario.registeredPortals[i];
        CheckName(reading, portal.address);
        for (std::size_t j = 0; j < i; ++j) {
            if (scenario.registeredPortals[j].address == portal.address &&
                scenario.registeredPortals[j].port == portal.port) {
                Fail(reading, "a portal is registered twice");
            }
        }
    }
    const std::vector<std::string> reported = scn::ReportedTargets(scenario);
    for (std::size_t i = 0; i < reported.size(); ++i) {
        CheckName(reading, reported[i]);
        if (reported[i].empty() ||
            std::find(reported.begin(), reported.begin() + static_cast<std::ptrdiff_t>(i),
                      reported[i]) != reported.begin() + static_cast<std::ptrdiff_t>(i)) {
            Fail(reading, "the target report holds an empty or a repeated name");
        }
    }
    for (const scn::Drive &drive : scenario.drives) {
        CheckDrive(reading, drive);
    }
    for (const auto &delayed : scenario.onLogin.drives) {
        CheckDrive(reading, delayed.drive);
    }
    for (const scn::DriveEvent &event : scenario.events) {
        if (event.addDrive) {
            CheckDrive(reading, *event.addDrive);
        } else {
            CheckLetter(reading, event.removeDrive);
        }
    }
}

} // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the sanitizer's hook.
extern "C" const char *__asan_default_options() { return "max_allocation_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const Reading reading = ReadOnSmallStack(text);
    const Reading again = ReadOnSmallStack(text);
    if (again.accepted != reading.accepted || again.error != reading.error) {
        Fail(reading, "the same text read twice gave two answers: " + again.error);
    }
    if (reading.accepted) {
        CheckAcceptance(reading);
    } else {
        CheckRefusal(reading);
    }
    return 0;
}
