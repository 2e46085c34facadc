#include "sim/keypanel_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kplsim {

namespace {

constexpr std::uint8_t Stx = 0x02;
constexpr std::uint8_t ResponseBit = 0x80;

enum : std::uint8_t { IdentifyId = 0x10, StatusId = 0x11, KeysId = 0x12, LedsId = 0x13 };

}  // namespace

bool ParseVersion(const std::string& text, std::uint8_t& major, std::uint8_t& minor)
{
    auto digit = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    if (text.size() != 5 || !digit(0) || !digit(1) || text[2] != '.' || !digit(3) || !digit(4))
        return false;
    major = static_cast<std::uint8_t>((text[0] - '0') << 4 | (text[1] - '0'));
    minor = static_cast<std::uint8_t>((text[3] - '0') << 4 | (text[4] - '0'));
    return true;
}

const char* RequestKindName(RequestKind kind)
{
    switch (kind) {
    case RequestKind::Identify: return "IDENTIFY";
    case RequestKind::Status: return "STATUS";
    case RequestKind::Keys: return "KEYS";
    case RequestKind::Leds: return "LEDS";
    case RequestKind::Other: return "other";
    case RequestKind::Rejected: return "rejected";
    }
    return "?";
}

std::uint8_t KeypanelChecksum(const std::uint8_t* bytes, std::size_t count, bool stuffed)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum = sum * 2 + bytes[i];
        if (sum > 0xFF)
            sum = (sum + 1) & 0xFF;
        if (bytes[i] == Stx && i >= 3)
            i += stuffed ? 2 : 1;
    }
    return sum == Stx ? 0xFD : static_cast<std::uint8_t>(sum);
}

KeypanelModel::KeypanelModel(Identity identity) : identity_(std::move(identity)) {}

void KeypanelModel::Receive(const std::uint8_t* data, std::size_t size, std::vector<Exchange>& exchanges)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (std::size_t n = 0; n < size; ++n) {
        std::uint8_t byte = data[n];
        if (frame_.empty()) {
            if (byte == Stx) {
                frame_.push_back(byte);
                raw_.assign(1, byte);
            }
            continue;  // anything else between requests is line noise
        }
        raw_.push_back(byte);
        if (frame_.size() == 1) {
            int length = byte & 0x3F;
            if ((byte & 0xC0) != 0 || length < 4) {
                Exchange rejected;
                rejected.kind = RequestKind::Rejected;
                rejected.request = raw_;
                exchanges.push_back(std::move(rejected));
                ++counts_[static_cast<int>(RequestKind::Rejected)];
                requestArrived_.notify_all();
                frame_.clear();
                raw_.clear();
                if (byte == Stx) {
                    frame_.push_back(byte);
                    raw_.assign(1, byte);
                }
                continue;
            }
            length_ = length;
            frame_.push_back(byte);
            continue;
        }
        if (frame_.size() == 2) {
            frame_.push_back(byte);
            dropNext_ = false;
            continue;
        }
        if (dropNext_) {
            dropNext_ = false;
            continue;
        }
        if (static_cast<int>(frame_.size()) < length_ - 1) {
            frame_.push_back(byte);
            dropNext_ = byte == Stx;
            continue;
        }
        Exchange exchange;
        exchange.request = raw_;
        // The requester sums the frame as it goes on the wire, stuffing bytes
        // included; for two 0x02 in a row that differs from the de-stuffed sum.
        if (byte != KeypanelChecksum(raw_.data(), raw_.size() - 1, true)) {
            exchange.kind = RequestKind::Rejected;
            ++counts_[static_cast<int>(RequestKind::Rejected)];
            requestArrived_.notify_all();
        } else {
            Dispatch(exchange);
        }
        exchanges.push_back(std::move(exchange));
        frame_.clear();
        raw_.clear();
    }
}

bool KeypanelModel::Take(int& count)
{
    if (count == AlwaysCount)
        return true;
    if (count > 0) {
        --count;
        return true;
    }
    return false;
}

void KeypanelModel::Dispatch(Exchange& exchange)
{
    std::uint8_t id = frame_[2];
    const std::uint8_t* payload = frame_.data() + 3;
    std::size_t length = frame_.size() - 3;
    RequestKind kind = RequestKind::Other;
    switch (id) {
    case IdentifyId: kind = length == 0 ? RequestKind::Identify : RequestKind::Rejected; break;
    case StatusId: kind = length == ledPattern_.size() ? RequestKind::Status : RequestKind::Rejected; break;
    case KeysId: kind = length == 0 ? RequestKind::Keys : RequestKind::Rejected; break;
    case LedsId: kind = length == ledBlock_.size() ? RequestKind::Leds : RequestKind::Rejected; break;
    default: break;
    }
    exchange.kind = kind;
    ++counts_[static_cast<int>(kind)];
    requestArrived_.notify_all();
    if (kind == RequestKind::Status) {
        std::copy(payload, payload + length, ledPattern_.begin());
        ++ledPatterns_;
    } else if (kind == RequestKind::Leds) {
        std::copy(payload, payload + length, ledBlock_.begin());
    } else if (kind == RequestKind::Other || kind == RequestKind::Rejected) {
        return;
    }
    if (faults_.dripMs != 0 || Take(faults_.silent))
        return;

    bool wellFormed = true;
    if (kind == RequestKind::Identify) {
        std::uint8_t identification[12] = {identity_.major, identity_.minor};
        for (int i = 0; i < 8; ++i)
            identification[2 + i] = i < static_cast<int>(identity_.type.size()) ? identity_.type[i] : ' ';
        identification[10] = identity_.keyCount;
        identification[11] = identity_.ledCount;
        exchange.reply = BuildReply(id | ResponseBit, identification, sizeof identification, wellFormed);
    } else {
        exchange.reply = BuildReply(id | ResponseBit, keys_.data(), static_cast<int>(keys_.size()), wellFormed);
        if (wellFormed) {
            for (std::size_t i = 0; i < keys_.size(); ++i)
                keys_[i] = static_cast<std::uint8_t>(keys_[i] & ~tapped_[i]);
            tapped_.fill(0);
        }
    }
    exchange.reply.insert(exchange.reply.begin(), faults_.garbage.begin(), faults_.garbage.end());
    faults_.garbage.clear();
    exchange.answered = true;
    exchange.delayMs = faults_.delayMs;
}

std::vector<std::uint8_t> KeypanelModel::BuildReply(std::uint8_t id, const std::uint8_t* payload, int length,
                                                    bool& wellFormed)
{
    bool wrongId = Take(faults_.wrongId);
    bool shortReply = Take(faults_.shortReply);
    bool nodeBits = Take(faults_.nodeBits);
    bool badChecksum = Take(faults_.badChecksum);
    wellFormed = !(wrongId || shortReply || nodeBits || badChecksum);
    if (wrongId)
        id = faults_.wrongIdValue;
    if (shortReply)
        length /= 2;
    return EncodeFrame(id, payload, length, nodeBits, badChecksum);
}

std::vector<std::uint8_t> KeypanelModel::EncodeFrame(std::uint8_t id, const std::uint8_t* payload, int length,
                                                     bool nodeBits, bool badChecksum)
{
    std::vector<std::uint8_t> frame{Stx, static_cast<std::uint8_t>((length + 4) | (nodeBits ? 0x40 : 0)), id};
    std::vector<std::uint8_t> plain = frame;
    for (int i = 0; i < length; ++i) {
        frame.push_back(payload[i]);
        plain.push_back(payload[i]);
        if (payload[i] == Stx)
            frame.push_back(0x00);
    }
    // Summed as the receiver sums it, after de-stuffing, so that a matrix
    // with two 0x02 in a row (keys 1 and 9) is still taken.
    std::uint8_t sum = KeypanelChecksum(plain.data(), plain.size(), false);
    frame.push_back(badChecksum ? static_cast<std::uint8_t>(sum ^ 0x5A) : sum);
    return frame;
}

bool KeypanelModel::ResetReceiver()
{
    std::lock_guard<std::mutex> guard(lock_);
    bool partial = !frame_.empty();
    frame_.clear();
    raw_.clear();
    dropNext_ = false;
    return partial;
}

bool KeypanelModel::Receiving() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return !frame_.empty();
}

void KeypanelModel::Press(int key)
{
    if (key < 0 || key >= KeyCount)
        return;
    std::lock_guard<std::mutex> guard(lock_);
    keys_[key / 8] = static_cast<std::uint8_t>(keys_[key / 8] | 1u << (key % 8));
    tapped_[key / 8] = static_cast<std::uint8_t>(tapped_[key / 8] & ~(1u << (key % 8)));
}

void KeypanelModel::Release(int key)
{
    if (key < 0 || key >= KeyCount)
        return;
    std::lock_guard<std::mutex> guard(lock_);
    keys_[key / 8] = static_cast<std::uint8_t>(keys_[key / 8] & ~(1u << (key % 8)));
    tapped_[key / 8] = static_cast<std::uint8_t>(tapped_[key / 8] & ~(1u << (key % 8)));
}

void KeypanelModel::Tap(int key)
{
    if (key < 0 || key >= KeyCount)
        return;
    std::lock_guard<std::mutex> guard(lock_);
    keys_[key / 8] = static_cast<std::uint8_t>(keys_[key / 8] | 1u << (key % 8));
    tapped_[key / 8] = static_cast<std::uint8_t>(tapped_[key / 8] | 1u << (key % 8));
}

void KeypanelModel::ReleaseAll()
{
    std::lock_guard<std::mutex> guard(lock_);
    keys_.fill(0);
    tapped_.fill(0);
}

void KeypanelModel::Silence(int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.silent = count;
}

void KeypanelModel::SetReplyDelay(unsigned milliseconds)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.delayMs = milliseconds;
}

void KeypanelModel::SendGarbage(const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.garbage.insert(faults_.garbage.end(), bytes.begin(), bytes.end());
}

void KeypanelModel::BadChecksum(int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.badChecksum = count;
}

void KeypanelModel::WrongId(std::uint8_t id, int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.wrongIdValue = id;
    faults_.wrongId = count;
}

void KeypanelModel::ShortReply(int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.shortReply = count;
}

void KeypanelModel::NodeBits(int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.nodeBits = count;
}

void KeypanelModel::Drip(unsigned milliseconds)
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_.dripMs = milliseconds;
}

void KeypanelModel::ClearFaults()
{
    std::lock_guard<std::mutex> guard(lock_);
    faults_ = Faults{};
}

Faults KeypanelModel::CurrentFaults() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return faults_;
}

std::vector<std::uint8_t> KeypanelModel::StaleAnswer() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return EncodeFrame(StatusId | ResponseBit, keys_.data(), static_cast<int>(keys_.size()), false, false);
}

std::uint64_t KeypanelModel::Requests(RequestKind kind) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return counts_[static_cast<int>(kind)];
}

std::uint64_t KeypanelModel::TotalRequests() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::uint64_t total = 0;
    for (auto count : counts_)
        total += count;
    return total;
}

std::string KeypanelModel::CountsText() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::string text;
    for (int kind = 0; kind < RequestKindCount; ++kind) {
        if (kind > 0)
            text += ", ";
        text += RequestKindName(static_cast<RequestKind>(kind));
        text += ' ';
        text += std::to_string(counts_[kind]);
    }
    return text;
}

bool KeypanelModel::WaitForRequests(std::uint64_t total, unsigned timeoutMs) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return requestArrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        std::uint64_t sum = 0;
        for (auto count : counts_)
            sum += count;
        return sum >= total;
    });
}

LedBlock KeypanelModel::LastLedBlock() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return ledBlock_;
}

LedPattern KeypanelModel::LastLedPattern() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return ledPattern_;
}

std::uint64_t KeypanelModel::LedPatternsReceived() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return ledPatterns_;
}

namespace {

int ClampLeds(int leds)
{
    return leds < 1 ? 1 : leds > LedCount ? LedCount : leds;
}

}  // namespace

std::string RenderLedBlock(const LedBlock& block, int leds)
{
    static constexpr char States[] = {'.', 's', 'f', '#'};
    std::string text;
    for (int led = 0; led < ClampLeds(leds); ++led) {
        if (led > 0 && led % 8 == 0)
            text += ' ';
        text += States[(block[led / 4] >> (2 * (led % 4))) & 3];
    }
    return text;
}

std::string RenderLedPattern(const LedPattern& pattern, int leds)
{
    std::string text;
    for (int led = 0; led < ClampLeds(leds); ++led) {
        if (led > 0 && led % 8 == 0)
            text += ' ';
        text += (pattern[led / 8] >> (led % 8)) & 1 ? '#' : '.';
    }
    return text;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += digits;
    }
    return text;
}

}  // namespace kplsim
