#include "discovery/unicast/tsig.h"

#include <openssl/evp.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>

#include <fstream>

#include "base/text.h"

namespace qrv::discovery {

namespace {

const Name& algorithm_name()
{
    static const Name name = Name::of({"hmac-sha256"});
    return name;
}

void put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void put48(std::vector<uint8_t>& out, uint64_t v)
{
    for (int shift = 40; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

// A name in canonical wire form: uncompressed, lower case.
void put_name(std::vector<uint8_t>& out, const Name& name)
{
    for (const auto& label : name.labels) {
        out.push_back(uint8_t(label.size()));
        for (char c : label)
            out.push_back(uint8_t(ascii_lower(c)));
    }
    out.push_back(0);
}

// The TSIG fields that the MAC covers after the message.
void put_variables(std::vector<uint8_t>& out, const TsigKey& key, uint64_t time_signed, uint16_t fudge,
                   uint16_t error)
{
    put_name(out, key.name);
    put16(out, kClassAny);
    put16(out, 0);  // TTL, 32 bits
    put16(out, 0);
    put_name(out, algorithm_name());
    put48(out, time_signed);
    put16(out, fudge);
    put16(out, error);
    put16(out, 0);  // no other data
}

std::vector<uint8_t> hmac(const TsigKey& key, const std::vector<uint8_t>& data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.secret.data(), int(key.secret.size()), data.data(), data.size(), md, &length))
        return {};
    return std::vector<uint8_t>(md, md + length);
}

std::optional<std::vector<uint8_t>> base64_decode(std::string_view text)
{
    std::string clean;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            clean += c;
    if (clean.empty() || clean.size() % 4 != 0 || clean.size() > 4096)
        return std::nullopt;
    std::vector<uint8_t> out(clean.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()), int(clean.size()));
    if (n < 0)
        return std::nullopt;
    size_t pad = 0;
    while (pad < 2 && clean[clean.size() - 1 - pad] == '=')
        ++pad;
    out.resize(size_t(n) - pad);
    return out;
}

bool fail(std::string* error, const char* why)
{
    if (error)
        *error = why;
    return false;
}

// A key file's first line of the form, also as a comment ("# ..."), which
// is how the server's key tool prints it.
std::optional<std::string> key_line_in_file(const std::string& path)
{
    std::ifstream file{path};
    std::string line;
    while (file && std::getline(file, line)) {
        const auto start = line.find_first_not_of("# \t");
        if (start != std::string::npos && line.find(':', start) != std::string::npos) {
            std::string content = line.substr(start);
            while (!content.empty() && (content.back() == '\r' || content.back() == ' '))
                content.pop_back();
            return content;
        }
    }
    return std::nullopt;
}

// A key's name as written ("key.example." or "key.example") in labels.
Name key_name_of(std::string_view name)
{
    Name out;
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    size_t pos = 0;
    while (pos <= name.size() && !name.empty()) {
        const auto dot = name.find('.', pos);
        out.labels.emplace_back(name.substr(pos, dot == std::string_view::npos ? name.npos : dot - pos));
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    return out;
}

// Steps over a name in a packet that the parser has already accepted.
bool skip_name(std::span<const uint8_t> p, size_t& at)
{
    while (at < p.size()) {
        const uint8_t len = p[at];
        if ((len & 0xc0) == 0xc0) {
            at += 2;
            return at <= p.size();
        }
        at += 1 + len;
        if (len == 0)
            return at <= p.size();
    }
    return false;
}

uint16_t get16(std::span<const uint8_t> p, size_t at)
{
    return uint16_t(p[at] << 8 | p[at + 1]);
}

// Where the last record of a packet starts, for a packet that the parser has
// accepted (it has checked every length, so the walk stays inside);
// nothing should it leave the packet all the same.
std::optional<size_t> last_record_at(std::span<const uint8_t> p)
{
    size_t at = 12;
    const size_t questions = get16(p, 4);
    const size_t records = size_t(get16(p, 6)) + get16(p, 8) + get16(p, 10);
    for (size_t i = 0; i < questions; ++i)
        if (!skip_name(p, at) || (at += 4) > p.size())
            return std::nullopt;
    size_t last = 0;
    for (size_t i = 0; i < records; ++i) {
        last = at;
        if (!skip_name(p, at) || at + 10 > p.size())
            return std::nullopt;
        at += 10 + get16(p, at + 8);
    }
    return last;
}

// The data of a TSIG record: algorithm name, time (6), fudge (2), MAC size
// (2), MAC, original id (2), error (2), other length (2), other data.
struct TsigFields {
    uint64_t time_signed = 0;
    uint16_t fudge = 0;
    std::vector<uint8_t> mac;
    uint8_t original_id[2] = {};
    uint16_t error = 0;
    bool other_data = false;  // there, or its length wrong
};

std::optional<TsigFields> read_tsig_fields(const std::vector<uint8_t>& raw)
{
    size_t r = 0;
    while (r < raw.size() && raw[r] != 0) {
        if (raw[r] & 0xc0)
            return std::nullopt;
        r += 1 + raw[r];
    }
    r += 1;
    if (r + 10 > raw.size())
        return std::nullopt;
    TsigFields f;
    for (int i = 0; i < 6; ++i)
        f.time_signed = f.time_signed << 8 | raw[r + i];
    f.fudge = uint16_t(raw[r + 6] << 8 | raw[r + 7]);
    const size_t mac_size = size_t(raw[r + 8] << 8 | raw[r + 9]);
    r += 10;
    if (r + mac_size + 6 > raw.size())
        return std::nullopt;
    f.mac.assign(raw.begin() + r, raw.begin() + r + mac_size);
    r += mac_size;
    f.original_id[0] = raw[r];
    f.original_id[1] = raw[r + 1];
    f.error = uint16_t(raw[r + 2] << 8 | raw[r + 3]);
    f.other_data = raw.size() != r + 6 + size_t(raw[r + 4] << 8 | raw[r + 5]) || raw[r + 4] || raw[r + 5];
    return f;
}

// What the MAC of a reply covers: the request's MAC after its length, the
// reply up to its TSIG record as it was before signing (its original id, one
// additional record fewer), then the TSIG variables.
std::vector<uint8_t> reply_covered(std::span<const uint8_t> reply, size_t tsig_at, const TsigFields& f,
                                   const TsigKey& key, std::span<const uint8_t> request_mac)
{
    std::vector<uint8_t> covered;
    put16(covered, uint16_t(request_mac.size()));
    covered.insert(covered.end(), request_mac.begin(), request_mac.end());
    const size_t message_at = covered.size();
    covered.insert(covered.end(), reply.begin(), reply.begin() + tsig_at);
    covered[message_at] = f.original_id[0];
    covered[message_at + 1] = f.original_id[1];
    const uint16_t additionals = uint16_t(get16(reply, 10) - 1);
    covered[message_at + 10] = uint8_t(additionals >> 8);
    covered[message_at + 11] = uint8_t(additionals);
    put_variables(covered, key, f.time_signed, f.fudge, f.error);
    return covered;
}

}  // namespace

std::optional<TsigKey> parse_tsig_key(std::string_view text, std::string* error)
{
    std::string content(text);
    if (content.find(':') == std::string::npos) {
        auto line = key_line_in_file(content);
        if (!line) {
            fail(error, "not of the form hmac-sha256:NAME:BASE64, nor a readable file holding that");
            return std::nullopt;
        }
        content = std::move(*line);
    }
    const auto first = content.find(':');
    const auto second = first == std::string::npos ? first : content.find(':', first + 1);
    if (second == std::string::npos) {
        fail(error, "not of the form hmac-sha256:NAME:BASE64");
        return std::nullopt;
    }
    if (!equal_nocase(std::string_view(content).substr(0, first), "hmac-sha256")) {
        fail(error, "the algorithm is not hmac-sha256");
        return std::nullopt;
    }
    TsigKey key;
    key.name = key_name_of(std::string_view(content).substr(first + 1, second - first - 1));
    if (key.name.labels.empty() || !key.name.valid()) {
        fail(error, "the key name is not a valid DNS name");
        return std::nullopt;
    }
    auto secret = base64_decode(std::string_view(content).substr(second + 1));
    if (!secret || secret->empty()) {
        fail(error, "the secret is not valid base64");
        return std::nullopt;
    }
    key.secret = std::move(*secret);
    return key;
}

std::optional<std::vector<uint8_t>> tsig_sign(std::span<const uint8_t> message, const TsigKey& key,
                                              uint64_t time_signed, std::vector<uint8_t>* mac_out, uint16_t fudge)
{
    if (message.size() < 12)
        return std::nullopt;
    std::vector<uint8_t> covered(message.begin(), message.end());
    put_variables(covered, key, time_signed, fudge, 0);
    const auto mac = hmac(key, covered);
    if (mac.empty())
        return std::nullopt;

    std::vector<uint8_t> out(message.begin(), message.end());
    put_name(out, key.name);
    put16(out, kTypeTSIG);
    put16(out, kClassAny);
    put16(out, 0);
    put16(out, 0);
    std::vector<uint8_t> rdata;
    put_name(rdata, algorithm_name());
    put48(rdata, time_signed);
    put16(rdata, fudge);
    put16(rdata, uint16_t(mac.size()));
    rdata.insert(rdata.end(), mac.begin(), mac.end());
    rdata.push_back(message[0]);  // the original id
    rdata.push_back(message[1]);
    put16(rdata, 0);  // error
    put16(rdata, 0);  // other length
    put16(out, uint16_t(rdata.size()));
    out.insert(out.end(), rdata.begin(), rdata.end());
    const uint16_t additionals = uint16_t(get16(message, 10) + 1);
    out[10] = uint8_t(additionals >> 8);
    out[11] = uint8_t(additionals);
    if (mac_out)
        *mac_out = mac;
    return out;
}

TsigReply tsig_check_reply(std::span<const uint8_t> reply, const TsigKey& key, std::span<const uint8_t> request_mac)
{
    TsigReply result;
    const auto parsed = parse_message(reply);
    if (!parsed.message || parsed.message->additionals.empty() ||
        parsed.message->additionals.back().type != kTypeTSIG)
        return result;
    const auto tsig_at = last_record_at(reply);
    if (!tsig_at)
        return result;
    result.present = true;
    const auto fields = read_tsig_fields(parsed.message->additionals.back().raw);
    if (!fields)
        return result;
    result.error = fields->error;
    if (fields->other_data)
        return result;  // other data (a server's time after BADTIME) is not verified
    const auto expected = hmac(key, reply_covered(reply, *tsig_at, *fields, key, request_mac));
    result.verified = !expected.empty() && expected.size() == fields->mac.size() &&
                      CRYPTO_memcmp(expected.data(), fields->mac.data(), expected.size()) == 0;
    return result;
}

const char* tsig_error_text(uint16_t error)
{
    switch (error) {
    case 0: return "no error";
    case 16: return "BADSIG (the server's key does not match)";
    case 17: return "BADKEY (the server does not know the key)";
    case 18: return "BADTIME (the clocks differ by more than the allowed fudge)";
    case 22: return "BADTRUNC";
    }
    return "unknown TSIG error";
}

}  // namespace qrv::discovery
