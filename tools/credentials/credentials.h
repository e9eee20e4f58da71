// The CHAP credentials of an attach, as vxdhost and the vxdmount runner take them: the user name
// on the command line, each secret only from a file or from standard input. A secret on the
// command line could be read by every user of the machine (the process list shows it), so no
// option takes one, and one that looks as if it did is refused without being repeated.
// Portable: the programs supply the reading (files, standard input), the rest is the same.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace vxd::credentials {

// Far more than any CHAP secret (Windows takes 12 to 16 bytes): a file that holds more is no
// secret, and the library is left to say which length is wrong for anything up to it.
constexpr std::size_t kMostSecretBytes = 256;

// A secret's bytes in storage of fixed size, which never moves and is wiped on every path
// (WipeBytes): no copy is left on the heap.
class Secret {
  public:
    Secret() = default;
    ~Secret() { Clear(); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    const unsigned char *Data() const { return bytes_.data(); }
    std::size_t Size() const { return size_; }
    // Where the next bytes go, and how many fit; Grew(count) takes `count` bytes written there.
    unsigned char *Room() { return bytes_.data() + size_; }
    std::size_t RoomSize() const { return bytes_.size() - size_; }
    void Grew(std::size_t count) { size_ += count < RoomSize() ? count : RoomSize(); }
    // The one line end ("\n" or "\r\n") that ends a file written by an editor, or by echo.
    void DropOneLineEnd();
    void Clear();

  private:
    // Room for the most a secret may hold with a line end, and a byte more, which tells that
    // a file holds too much.
    std::array<unsigned char, kMostSecretBytes + 3> bytes_{};
    std::size_t size_ = 0;
};

struct Options {
    std::string user;                     // --chap-user NAME; empty: no CHAP
    std::string secretFile;               // --chap-secret-file FILE
    bool secretFromStandardInput = false; // --chap-secret-stdin
    std::string initiatorSecretFile;      // --initiator-secret-file FILE: sets the machine's secret
    bool discovery = false;               // --discovery-chap
    bool mutual = false;                  // --mutual-chap: with the machine's secret as it is

    bool Any() const;
};

enum class Parsed { kNotCredential, kTaken, kRefused };

// One argument of a command line: a credential option (with its value, "--option VALUE" or
// "--option=VALUE") goes to `options`; `next` is the argument after it (null: none), and
// `usedNext` tells whether it was taken. kRefused, with `error`, for a missing value or for an
// option that would take a secret itself; the error never shows what follows '='.
Parsed ParseOption(const std::string &argument, const char *next, bool &usedNext, Options &options,
                   std::string &error);

// The options together: a secret needs a user name and the other way round, the secret comes
// one way, and the flags need CHAP. False with `error` when they do not fit.
bool CheckOptions(const Options &options, std::string &error);

// The VXD_ATTACH_... flags that the options ask for.
unsigned long AttachFlags(const Options &options);

// An argument as an error message may show it: an option without what follows '=', which may
// be a secret typed by mistake.
std::string ShownArgument(const std::string &argument);

// Where the programs read secrets from. Each Open... makes the source the one that Read reads
// until the next Open...; a failure leaves `error` set to the reason, without the file's name.
class SecretSource {
  public:
    virtual ~SecretSource() = default;
    virtual bool OpenFile(const std::string &path, std::string &error) = 0;
    // Refuses a terminal, where the secret would be typed for all to see.
    virtual bool OpenStandardInput(std::string &error) = 0;
    // Up to `size` bytes into `into`: how many, 0 at the end, -1 with `error` set on a failure.
    virtual long Read(unsigned char *into, std::size_t size, std::string &error) = 0;
};

struct Secrets {
    Secret chap;
    Secret initiator; // read only with --initiator-secret-file
};

// Reads the secrets that `options` name, each without its one trailing line end. False with
// `error` ("cannot read the CHAP secret from FILE: REASON", REASON also "it is more than 256
// bytes long, ...") when one cannot be had; a message names the source, never the bytes.
bool ReadSecrets(const Options &options, SecretSource &source, Secrets &secrets,
                 std::string &error);

} // namespace vxd::credentials
