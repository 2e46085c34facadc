// The Keypanel as its serial line sees it: request bytes in, response bytes
// out. Keys are pressed and released from outside, the LED commands it
// receives are kept for inspection, faults can be injected, and requests are
// counted. It knows the protocol on its own (no code shared with the
// service's link), so that a test against it checks one side by the other.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kplsim {

inline constexpr int KeyCount = 128;
inline constexpr int LedCount = 128;
inline constexpr int AlwaysCount = -1;  // a fault count that never runs out

using KeyMatrix = std::array<std::uint8_t, 16>;
using LedBlock = std::array<std::uint8_t, 32>;
using LedPattern = std::array<std::uint8_t, 16>;

struct Identity {
    std::uint8_t major = 0x01;  // BCD
    std::uint8_t minor = 0x23;  // BCD
    std::string type = "TKP10KEY";
    std::uint8_t keyCount = 64;
    std::uint8_t ledCount = 64;
};

// "01.23" into two BCD bytes; false unless it is two digits, a point, two digits.
bool ParseVersion(const std::string& text, std::uint8_t& major, std::uint8_t& minor);

enum class RequestKind { Identify, Status, Keys, Leds, Other, Rejected };
inline constexpr int RequestKindCount = 6;
const char* RequestKindName(RequestKind kind);

struct Faults {
    int silent = 0;  // requests left unanswered; AlwaysCount for all
    unsigned delayMs = 0;
    std::vector<std::uint8_t> garbage;  // sent before the next reply
    int badChecksum = 0;
    int wrongId = 0;
    std::uint8_t wrongIdValue = 0;
    int shortReply = 0;
    int nodeBits = 0;
    unsigned dripMs = 0;  // a stray byte this often instead of any reply
};

// One request as the model took it, and what it answered.
struct Exchange {
    RequestKind kind = RequestKind::Other;
    std::vector<std::uint8_t> request;  // as received, stuffing included
    bool answered = false;
    std::vector<std::uint8_t> reply;    // as to be sent, stray bytes included
    unsigned delayMs = 0;
};

class KeypanelModel {
public:
    explicit KeypanelModel(Identity identity = {});

    // Feeds bytes from the line; every request completed by them is
    // appended to exchanges.
    void Receive(const std::uint8_t* data, std::size_t size, std::vector<Exchange>& exchanges);
    // Forgets a partly received request, as the device does after a pause
    // on the line. True when there was one.
    bool ResetReceiver();
    bool Receiving() const;

    // Key n is bit n mod 8 of byte n div 8 of the matrix. A tapped key is
    // released once a well-formed answer has carried it.
    void Press(int key);
    void Release(int key);
    void Tap(int key);
    void ReleaseAll();

    // Fault injection; counts are replies (or requests, for silence).
    void Silence(int count);
    void SetReplyDelay(unsigned milliseconds);
    void SendGarbage(const std::vector<std::uint8_t>& bytes);
    void BadChecksum(int count);
    void WrongId(std::uint8_t id, int count);
    void ShortReply(int count);
    void NodeBits(int count);
    // A line that drips: no replies, one stray byte every `milliseconds`
    // (0 ends it); the line sends the bytes.
    void Drip(unsigned milliseconds);
    void ClearFaults();
    Faults CurrentFaults() const;
    // A well-formed answer to STATUS with the keys as they are now, for the
    // line to send unasked: what a run that stopped left unread in the port.
    std::vector<std::uint8_t> StaleAnswer() const;

    const Identity& GetIdentity() const { return identity_; }

    std::uint64_t Requests(RequestKind kind) const;
    std::uint64_t TotalRequests() const;
    // "IDENTIFY 1, STATUS 0, KEYS 12, LEDS 1, other 0, rejected 0"
    std::string CountsText() const;
    // Waits until at least total requests were taken, or the time is up.
    bool WaitForRequests(std::uint64_t total, unsigned timeoutMs) const;

    // The last LED block (LEDS) and LED pattern (STATUS) received, and how
    // many patterns came.
    LedBlock LastLedBlock() const;
    LedPattern LastLedPattern() const;
    std::uint64_t LedPatternsReceived() const;

private:
    void Dispatch(Exchange& exchange);
    std::vector<std::uint8_t> BuildReply(std::uint8_t id, const std::uint8_t* payload, int length, bool& wellFormed);
    static std::vector<std::uint8_t> EncodeFrame(std::uint8_t id, const std::uint8_t* payload, int length,
                                                 bool nodeBits, bool badChecksum);
    bool Take(int& count);

    Identity identity_;
    mutable std::mutex lock_;
    mutable std::condition_variable requestArrived_;
    KeyMatrix keys_{};
    KeyMatrix tapped_{};
    Faults faults_;
    std::array<std::uint64_t, RequestKindCount> counts_{};
    LedBlock ledBlock_{};
    LedPattern ledPattern_{};
    std::uint64_t ledPatterns_ = 0;

    // Request receiver.
    std::vector<std::uint8_t> raw_;    // the request's bytes as received
    std::vector<std::uint8_t> frame_;  // de-stuffed: STX, Node/Len, id, payload
    int length_ = 0;
    bool dropNext_ = false;
};

// The device's checksum over a de-stuffed frame (stuffed false) or a frame
// as on the wire (stuffed true).
std::uint8_t KeypanelChecksum(const std::uint8_t* bytes, std::size_t count, bool stuffed);

// Compact LED views, one character per LED in groups of eight: a block as
// '.' off, 's' slow blink, 'f' fast blink, '#' on; a pattern as '#' or '.'.
std::string RenderLedBlock(const LedBlock& block, int leds);
std::string RenderLedPattern(const LedPattern& pattern, int leds);
std::string HexBytes(const std::vector<std::uint8_t>& bytes);

}  // namespace kplsim
