#include "tools/credentials/credentials.h"

#include "entry/vxdmount.h"
#include "platform/wipe_bytes.h"

namespace vxd::credentials {
namespace {

const char kUser[] = "--chap-user";
const char kSecretFile[] = "--chap-secret-file";
const char kSecretStandardInput[] = "--chap-secret-stdin";
const char kInitiatorSecretFile[] = "--initiator-secret-file";
const char kDiscovery[] = "--discovery-chap";
const char kMutual[] = "--mutual-chap";

bool StartsWith(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

// Options that people may guess for a secret: none exists, and each says what to use instead.
bool WouldTakeASecret(const std::string &name, bool &initiator) {
    initiator = StartsWith(name, "--initiator-secret") || StartsWith(name, "--mutual-secret");
    for (const char *guess : {"--chap-secret", "--initiator-secret", "--mutual-secret", "--secret",
                              "--password", "--chap-password"}) {
        if (name == guess) {
            return true;
        }
    }
    // A misspelt one, such as --chap-secret-text, as well.
    return StartsWith(name, "--chap-secret") || initiator;
}

bool ReadAll(SecretSource &source, Secret &secret, std::string &error) {
    while (secret.RoomSize() > 0) {
        const long count = source.Read(secret.Room(), secret.RoomSize(), error);
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            break;
        }
        secret.Grew(static_cast<std::size_t>(count));
    }
    const bool full = secret.RoomSize() == 0;
    secret.DropOneLineEnd();
    if (full || secret.Size() > kMostSecretBytes) {
        error = "it is more than " + std::to_string(kMostSecretBytes) +
                " bytes long, which no CHAP secret is (Windows takes 12 to 16)";
        return false;
    }
    return true;
}

bool ReadOne(SecretSource &source, const std::string &file, bool standardInput, const char *what,
             Secret &secret, std::string &error) {
    std::string why;
    const bool opened = standardInput ? source.OpenStandardInput(why) : source.OpenFile(file, why);
    if (!opened || !ReadAll(source, secret, why)) {
        secret.Clear();
        error = std::string("cannot read the ") + what + " from " +
                (standardInput ? std::string("standard input") : file) + ": " + why;
        return false;
    }
    return true;
}

} // namespace

void Secret::DropOneLineEnd() {
    if (size_ > 0 && bytes_[size_ - 1] == '\n') {
        --size_;
        if (size_ > 0 && bytes_[size_ - 1] == '\r') {
            --size_;
        }
    }
}

void Secret::Clear() {
    WipeBytes(bytes_.data(), bytes_.size());
    size_ = 0;
}

bool Options::Any() const {
    return !user.empty() || !secretFile.empty() || secretFromStandardInput ||
           !initiatorSecretFile.empty() || discovery || mutual;
}

std::string ShownArgument(const std::string &argument) {
    const std::size_t equals = argument.find('=');
    return StartsWith(argument, "-") && equals != std::string::npos ? argument.substr(0, equals)
                                                                    : argument;
}

Parsed ParseOption(const std::string &argument, const char *next, bool &usedNext, Options &options,
                   std::string &error) {
    usedNext = false;
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const bool valueInline = equals != std::string::npos;
    for (const auto &flag : {std::make_pair(kSecretStandardInput, &options.secretFromStandardInput),
                             std::make_pair(kDiscovery, &options.discovery),
                             std::make_pair(kMutual, &options.mutual)}) {
        if (name == flag.first) {
            if (valueInline) {
                error = name + " takes no value";
                return Parsed::kRefused;
            }
            *flag.second = true;
            return Parsed::kTaken;
        }
    }
    const struct {
        const char *name;
        const char *value;
        std::string *into;
    } valued[] = {{kUser, "a NAME", &options.user},
                  {kSecretFile, "a FILE", &options.secretFile},
                  {kInitiatorSecretFile, "a FILE", &options.initiatorSecretFile}};
    for (const auto &option : valued) {
        if (name != option.name) {
            continue;
        }
        if (!valueInline && next != nullptr) {
            usedNext = true;
        }
        const std::string value =
            valueInline ? argument.substr(equals + 1) : std::string(next == nullptr ? "" : next);
        if (value.empty()) {
            error = name + " needs " + option.value;
            return Parsed::kRefused;
        }
        *option.into = value;
        return Parsed::kTaken;
    }
    bool initiator = false;
    if (WouldTakeASecret(name, initiator)) {
        error = name +
                ": no option takes a secret on the command line, where other users of the "
                "machine can read it; use " +
                (initiator ? std::string(kInitiatorSecretFile) + " FILE"
                           : std::string(kSecretFile) + " FILE or " + kSecretStandardInput);
        return Parsed::kRefused;
    }
    return Parsed::kNotCredential;
}

bool CheckOptions(const Options &options, std::string &error) {
    const bool secretGiven = !options.secretFile.empty() || options.secretFromStandardInput;
    if (!options.secretFile.empty() && options.secretFromStandardInput) {
        error = std::string(kSecretFile) + " and " + kSecretStandardInput +
                " both give the CHAP secret: give it one way";
    } else if (options.user.empty()) {
        const char *without =
            secretGiven ? (options.secretFromStandardInput ? kSecretStandardInput : kSecretFile)
            : !options.initiatorSecretFile.empty() ? kInitiatorSecretFile
            : options.discovery                    ? kDiscovery
            : options.mutual                       ? kMutual
                                                   : nullptr;
        if (without != nullptr) {
            error = std::string(without) + " needs " + kUser + " NAME" +
                    (secretGiven ? "" : " and its secret");
        }
    } else if (!secretGiven) {
        error = std::string(kUser) + " needs its secret: " + kSecretFile + " FILE or " +
                kSecretStandardInput;
    }
    return error.empty();
}

unsigned long AttachFlags(const Options &options) {
    return (options.discovery ? VXD_ATTACH_DISCOVERY_CHAP : 0ul) |
           (options.mutual ? VXD_ATTACH_MUTUAL_CHAP : 0ul) |
           (options.initiatorSecretFile.empty() ? 0ul : VXD_ATTACH_SET_INITIATOR_SECRET);
}

bool ReadSecrets(const Options &options, SecretSource &source, Secrets &secrets,
                 std::string &error) {
    if (!options.secretFile.empty() || options.secretFromStandardInput) {
        if (!ReadOne(source, options.secretFile, options.secretFromStandardInput, "CHAP secret",
                     secrets.chap, error)) {
            return false;
        }
    }
    if (!options.initiatorSecretFile.empty() &&
        !ReadOne(source, options.initiatorSecretFile, false, "initiator secret", secrets.initiator,
                 error)) {
        secrets.chap.Clear();
        return false;
    }
    return true;
}

} // namespace vxd::credentials
