#include "discovery/dns_update.h"

#include <utility>

namespace qrv::discovery {

namespace {

Record empty_record(const Name& name, uint16_t type, uint16_t klass)
{
    Record r;
    r.name = name;
    r.type = type;
    r.klass = klass;
    r.ttl = 0;
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
    update.answers.push_back(empty_record(name, kTypeANY, kClassNone));
}

void require_rrset(Message& update, Record record)
{
    record.klass = kClassIN;
    record.cache_flush = false;
    record.ttl = 0;
    record.empty = false;
    update.answers.push_back(std::move(record));
}

void add_record(Message& update, Record record)
{
    record.klass = kClassIN;
    record.cache_flush = false;
    record.empty = false;
    update.authorities.push_back(std::move(record));
}

void delete_rrset(Message& update, const Name& name, uint16_t type)
{
    update.authorities.push_back(empty_record(name, type, kClassAny));
}

void delete_name(Message& update, const Name& name)
{
    update.authorities.push_back(empty_record(name, kTypeANY, kClassAny));
}

void delete_record(Message& update, Record record)
{
    record.klass = kClassNone;
    record.cache_flush = false;
    record.ttl = 0;
    record.empty = false;
    update.authorities.push_back(std::move(record));
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
