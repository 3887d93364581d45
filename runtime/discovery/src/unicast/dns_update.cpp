#include "discovery/unicast/dns_update.h"

#include <utility>

namespace qrv::discovery {

namespace {

// How each section of an update carries a record: the class says what it
// means (IN: exists or add, NONE: delete this one, ANY: delete them all),
// never with the multicast cache-flush bit.
void push(std::vector<Record>& section, Record record, uint16_t klass, bool keep_ttl)
{
    record.klass = klass;
    record.cache_flush = false;
    if (!keep_ttl)
        record.ttl = 0;
    section.push_back(std::move(record));
}

// A record without data: a whole name or set of records.
Record empty_record(const Name& name, uint16_t type)
{
    Record r;
    r.name = name;
    r.type = type;
    r.empty = true;
    return r;
}

}  // namespace

const char* rcode_text(uint8_t rcode)
{
    switch (rcode) {
    case kRcodeNoError: return "no error";
    case kRcodeFormErr: return "FORMERR (the server could not read the request)";
    case kRcodeServFail: return "SERVFAIL (server failure)";
    case kRcodeNxDomain: return "NXDOMAIN (no such name)";
    case kRcodeNotImp: return "NOTIMP (not implemented by the server)";
    case kRcodeRefused: return "REFUSED (the server refuses updates of this zone or from this client)";
    case kRcodeYxDomain: return "YXDOMAIN (the name is in use)";
    case kRcodeYxRrset: return "YXRRSET";
    case kRcodeNxRrset: return "NXRRSET";
    case kRcodeNotAuth: return "NOTAUTH (the key or signature was refused, or the server is not authoritative)";
    case kRcodeNotZone: return "NOTZONE (a name lies outside the zone)";
    }
    return "unknown error";
}

Message make_update(const Name& zone, uint16_t id)
{
    Message m;
    m.id = id;
    m.flags = uint16_t(kOpcodeUpdate << 11);
    Question q;
    q.name = zone;
    q.type = 6;  // SOA
    q.klass = kClassIN;
    m.questions.push_back(std::move(q));
    return m;
}

void require_unused(Message& update, const Name& name)
{
    push(update.answers, empty_record(name, kTypeANY), kClassNone, false);
}

void require_rrset(Message& update, Record record)
{
    record.empty = false;
    push(update.answers, std::move(record), kClassIN, false);
}

void add_record(Message& update, Record record)
{
    record.empty = false;
    push(update.authorities, std::move(record), kClassIN, true);
}

void delete_rrset(Message& update, const Name& name, uint16_t type)
{
    push(update.authorities, empty_record(name, type), kClassAny, false);
}

void delete_name(Message& update, const Name& name)
{
    push(update.authorities, empty_record(name, kTypeANY), kClassAny, false);
}

void delete_record(Message& update, Record record)
{
    record.empty = false;
    push(update.authorities, std::move(record), kClassNone, false);
}

Message make_query(const Name& name, uint16_t type, uint16_t id)
{
    Message m;
    m.id = id;
    m.flags = 0;
    Question q;
    q.name = name;
    q.type = type;
    q.klass = kClassIN;
    m.questions.push_back(std::move(q));
    return m;
}

}  // namespace qrv::discovery
