#include "discovery/common/dns_message.h"

#include "base/text.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace qrv::discovery {

namespace {

using qrv::ascii_lower;

class Reader {
public:
    explicit Reader(std::span<const uint8_t> data) : data_(data) {}

    size_t pos() const { return pos_; }
    size_t left() const { return data_.size() - pos_; }
    bool u8(uint8_t& v)
    {
        if (left() < 1)
            return fail(ParseError::truncated);
        v = data_[pos_++];
        return true;
    }
    bool u16(uint16_t& v)
    {
        if (left() < 2)
            return fail(ParseError::truncated);
        v = uint16_t(data_[pos_] << 8 | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t& v)
    {
        if (left() < 4)
            return fail(ParseError::truncated);
        v = uint32_t(data_[pos_]) << 24 | uint32_t(data_[pos_ + 1]) << 16 | uint32_t(data_[pos_ + 2]) << 8 |
            uint32_t(data_[pos_ + 3]);
        pos_ += 4;
        return true;
    }
    bool skip(size_t n)
    {
        if (left() < n)
            return fail(ParseError::truncated);
        pos_ += n;
        return true;
    }

    // A name at the current position; compression pointers must point
    // strictly before the label that holds them, which rules out loops, and
    // at most 128 of them are followed.
    bool name(Name& out, size_t limit_end)
    {
        out.labels.clear();
        size_t at = pos_;
        size_t wire = 1;  // the root label
        bool jumped = false;
        int jumps = 0;
        for (;;) {
            if (at >= limit_end)
                return fail(ParseError::truncated);
            const uint8_t len = data_[at];
            if ((len & 0xc0) == 0xc0) {
                if (at + 1 >= limit_end)
                    return fail(ParseError::truncated);
                const size_t target = size_t(len & 0x3f) << 8 | data_[at + 1];
                if (target >= at || ++jumps > 128)
                    return fail(ParseError::bad_pointer);
                if (!jumped)
                    pos_ = at + 2;
                jumped = true;
                at = target;
                continue;
            }
            if (len & 0xc0)
                return fail(ParseError::bad_label);  // extended label types are not used
            if (len == 0) {
                if (!jumped)
                    pos_ = at + 1;
                return true;
            }
            if (at + 1 + len > limit_end)
                return fail(ParseError::truncated);
            wire += 1 + len;
            if (wire > kMaxNameBytes)
                return fail(ParseError::name_too_long);
            out.labels.emplace_back(reinterpret_cast<const char*>(&data_[at + 1]), len);
            at += 1 + len;
        }
    }

    std::span<const uint8_t> bytes(size_t n) const { return data_.subspan(pos_, n); }
    ParseError error() const { return error_; }
    bool fail(ParseError e)
    {
        if (error_ == ParseError::none)
            error_ = e;
        return false;
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    ParseError error_ = ParseError::none;
};

bool read_record(Reader& r, Record& rec, size_t packet_size)
{
    uint16_t klass = 0, rdlength = 0;
    if (!r.name(rec.name, packet_size) || !r.u16(rec.type) || !r.u16(klass) || !r.u32(rec.ttl) ||
        !r.u16(rdlength))
        return false;
    rec.cache_flush = (klass & 0x8000) != 0;
    rec.klass = klass & 0x7fff;
    if (r.left() < rdlength)
        return r.fail(ParseError::truncated);
    const size_t end = r.pos() + rdlength;
    switch (rec.type) {
    case kTypeA: {
        if (rdlength != 4)
            return r.fail(ParseError::bad_rdata);
        uint32_t a = 0;
        r.u32(a);
        // Kept in network byte order.
        const uint8_t b[4] = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
        std::memcpy(&rec.address, b, 4);
        break;
    }
    case kTypePTR:
        if (!r.name(rec.target, end))
            return false;
        break;
    case kTypeSRV:
        if (rdlength < 7 || !r.u16(rec.priority) || !r.u16(rec.weight) || !r.u16(rec.port) ||
            !r.name(rec.target, end))
            return r.fail(ParseError::bad_rdata);
        break;
    case kTypeTXT:
        while (r.pos() < end) {
            uint8_t len = 0;
            r.u8(len);
            if (r.pos() + len > end)
                return r.fail(ParseError::bad_rdata);
            auto b = r.bytes(len);
            rec.strings.emplace_back(reinterpret_cast<const char*>(b.data()), b.size());
            r.skip(len);
        }
        break;
    default: {
        auto b = r.bytes(rdlength);
        rec.raw.assign(b.begin(), b.end());
        r.skip(rdlength);
        break;
    }
    }
    if (r.pos() != end)
        return r.fail(ParseError::bad_rdata);
    return true;
}

class Writer {
public:
    std::vector<uint8_t> out;

    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v)
    {
        out.push_back(uint8_t(v >> 8));
        out.push_back(uint8_t(v));
    }
    void u32(uint32_t v)
    {
        u16(uint16_t(v >> 16));
        u16(uint16_t(v));
    }
    bool name(const Name& n, bool compress)
    {
        if (!n.valid())
            return false;
        for (size_t i = 0; i < n.labels.size(); ++i) {
            const std::string key = suffix_key(n, i);
            if (compress) {
                auto it = offsets_.find(key);
                if (it != offsets_.end()) {
                    u16(uint16_t(0xc000 | it->second));
                    return true;
                }
                if (out.size() < 0x3fff)
                    offsets_.emplace(key, uint16_t(out.size()));
            }
            u8(uint8_t(n.labels[i].size()));
            out.insert(out.end(), n.labels[i].begin(), n.labels[i].end());
        }
        u8(0);
        return true;
    }

private:
    static std::string suffix_key(const Name& n, size_t from) { return n.key(from); }
    std::map<std::string, uint16_t> offsets_;
};

bool write_rdata(Writer& w, const Record& rec, bool compress)
{
    if (rec.empty)
        return true;
    switch (rec.type) {
    case kTypeA: {
        uint8_t b[4];
        std::memcpy(b, &rec.address, 4);
        w.out.insert(w.out.end(), b, b + 4);
        return true;
    }
    case kTypePTR:
        return w.name(rec.target, compress);
    case kTypeSRV:
        w.u16(rec.priority);
        w.u16(rec.weight);
        w.u16(rec.port);
        return w.name(rec.target, compress);
    case kTypeTXT:
        if (rec.strings.empty())
            w.u8(0);  // an empty TXT record holds one empty string
        for (const auto& s : rec.strings) {
            if (s.size() > 255)
                return false;
            w.u8(uint8_t(s.size()));
            w.out.insert(w.out.end(), s.begin(), s.end());
        }
        return true;
    default:
        w.out.insert(w.out.end(), rec.raw.begin(), rec.raw.end());
        return true;
    }
}

bool write_record(Writer& w, const Record& rec)
{
    if (!w.name(rec.name, true))
        return false;
    w.u16(rec.type);
    w.u16(uint16_t((rec.klass & 0x7fff) | (rec.cache_flush ? 0x8000 : 0)));
    w.u32(rec.ttl);
    const size_t length_at = w.out.size();
    w.u16(0);
    const size_t start = w.out.size();
    // Names inside SRV data stay uncompressed (RFC 2782 recommends it).
    if (!write_rdata(w, rec, rec.type == kTypePTR))
        return false;
    const size_t len = w.out.size() - start;
    if (len > 0xffff)
        return false;
    w.out[length_at] = uint8_t(len >> 8);
    w.out[length_at + 1] = uint8_t(len);
    return true;
}

}  // namespace

bool equal_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

bool Name::equals(const Name& other) const
{
    if (labels.size() != other.labels.size())
        return false;
    for (size_t i = 0; i < labels.size(); ++i)
        if (!equal_nocase(labels[i], other.labels[i]))
            return false;
    return true;
}

size_t Name::wire_size() const
{
    size_t n = 1;
    for (const auto& l : labels)
        n += 1 + l.size();
    return n;
}

bool Name::valid() const
{
    for (const auto& l : labels)
        if (l.empty() || l.size() > kMaxLabelBytes)
            return false;
    return wire_size() <= kMaxNameBytes;
}

std::string Name::text() const
{
    std::string out;
    for (const auto& l : labels) {
        if (!out.empty())
            out += '.';
        for (char c : l) {
            if (c == '.' || c == '\\')
                out += '\\';
            out += c;
        }
    }
    return out;
}

Name Name::of(std::initializer_list<std::string_view> labels)
{
    Name n;
    for (auto l : labels)
        n.labels.emplace_back(l);
    return n;
}

Name Name::plus(const Name& suffix) const
{
    Name n = *this;
    n.labels.insert(n.labels.end(), suffix.labels.begin(), suffix.labels.end());
    return n;
}

std::string Name::key(size_t from) const
{
    std::string out;
    for (size_t i = from; i < labels.size(); ++i) {
        out += char(labels[i].size());
        out += ascii_lower(labels[i]);
    }
    return out;
}

std::vector<uint8_t> Record::canonical_rdata() const
{
    Writer w;
    Record lower_case = *this;
    for (auto& l : lower_case.target.labels)
        l = ascii_lower(l);
    if (!write_rdata(w, lower_case, false))
        return {};
    return std::move(w.out);
}

bool Record::same_data(const Record& other) const
{
    return type == other.type && canonical_rdata() == other.canonical_rdata();
}

ParseResult parse_message(std::span<const uint8_t> packet)
{
    ParseResult result;
    if (packet.size() > kMaxPacketBytes) {
        result.error = ParseError::too_big;
        return result;
    }
    Reader r(packet);
    Message m;
    uint16_t counts[4] = {};
    if (!r.u16(m.id) || !r.u16(m.flags) || !r.u16(counts[0]) || !r.u16(counts[1]) || !r.u16(counts[2]) ||
        !r.u16(counts[3])) {
        result.error = r.error();
        return result;
    }
    // Every question takes at least 5 bytes and every record at least 11:
    // counts that the packet cannot hold are refused before anything is
    // reserved for them.
    const size_t total = size_t(counts[0]) + counts[1] + counts[2] + counts[3];
    if (total > kMaxRecordsPerMessage ||
        size_t(counts[0]) * 5 + (size_t(counts[1]) + counts[2] + counts[3]) * 11 > r.left()) {
        result.error = total > kMaxRecordsPerMessage ? ParseError::too_many_records : ParseError::truncated;
        return result;
    }
    m.questions.reserve(counts[0]);
    for (unsigned i = 0; i < counts[0]; ++i) {
        Question q;
        uint16_t klass = 0;
        if (!r.name(q.name, packet.size()) || !r.u16(q.type) || !r.u16(klass)) {
            result.error = r.error();
            return result;
        }
        q.unicast_response = (klass & 0x8000) != 0;
        q.klass = klass & 0x7fff;
        m.questions.push_back(std::move(q));
    }
    std::vector<Record>* sections[3] = {&m.answers, &m.authorities, &m.additionals};
    for (int s = 0; s < 3; ++s) {
        sections[s]->reserve(counts[s + 1]);
        for (unsigned i = 0; i < counts[s + 1]; ++i) {
            Record rec;
            if (!read_record(r, rec, packet.size())) {
                result.error = r.error();
                return result;
            }
            sections[s]->push_back(std::move(rec));
        }
    }
    result.message = std::move(m);
    return result;
}

std::optional<std::vector<uint8_t>> build_message(const Message& m)
{
    if (m.questions.size() > 0xffff || m.answers.size() > 0xffff || m.authorities.size() > 0xffff ||
        m.additionals.size() > 0xffff)
        return std::nullopt;
    Writer w;
    w.u16(m.id);
    w.u16(m.flags);
    w.u16(uint16_t(m.questions.size()));
    w.u16(uint16_t(m.answers.size()));
    w.u16(uint16_t(m.authorities.size()));
    w.u16(uint16_t(m.additionals.size()));
    for (const auto& q : m.questions) {
        if (!w.name(q.name, true))
            return std::nullopt;
        w.u16(q.type);
        w.u16(uint16_t((q.klass & 0x7fff) | (q.unicast_response ? 0x8000 : 0)));
    }
    for (const auto* section : {&m.answers, &m.authorities, &m.additionals})
        for (const auto& rec : *section)
            if (!write_record(w, rec))
                return std::nullopt;
    return std::move(w.out);
}

namespace {

// A record of one name and type. Records unique to their owner (SRV, TXT,
// A) carry the multicast cache-flush bit; shared ones (PTR) do not.
Record record_of(const Name& name, uint16_t type, uint32_t ttl, bool unique)
{
    Record r;
    r.name = name;
    r.type = type;
    r.cache_flush = unique;
    r.ttl = ttl;
    return r;
}

}  // namespace

Record make_ptr(const Name& name, const Name& target, uint32_t ttl)
{
    Record r = record_of(name, kTypePTR, ttl, false);
    r.target = target;
    return r;
}

Record make_srv(const Name& name, const Name& target, uint16_t port, uint32_t ttl)
{
    Record r = record_of(name, kTypeSRV, ttl, true);
    r.target = target;
    r.port = port;
    return r;
}

Record make_txt(const Name& name, std::vector<std::string> strings, uint32_t ttl)
{
    Record r = record_of(name, kTypeTXT, ttl, true);
    r.strings = std::move(strings);
    return r;
}

Record make_a(const Name& name, uint32_t address, uint32_t ttl)
{
    Record r = record_of(name, kTypeA, ttl, true);
    r.address = address;
    return r;
}

std::optional<std::string> txt_value(const std::vector<std::string>& strings, std::string_view key)
{
    for (const auto& s : strings) {
        const auto eq = s.find('=');
        const std::string_view k = std::string_view(s).substr(0, eq);
        if (!k.empty() && equal_nocase(k, key))
            return eq == std::string::npos ? std::string() : s.substr(eq + 1);
    }
    return std::nullopt;
}

}  // namespace qrv::discovery
