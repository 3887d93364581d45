// Dynamic updates and plain queries for a unicast DNS server: the messages
// that publish service records in a zone, withdraw them, and look them up.
// They are built as Message values; build_message gives the wire form and
// tsig_sign signs it.
#ifndef QRV_DISCOVERY_DNS_UPDATE_H
#define QRV_DISCOVERY_DNS_UPDATE_H

#include <cstdint>

#include "discovery/common/dns_message.h"

namespace qrv::discovery {

inline constexpr uint8_t kOpcodeUpdate = 5;

enum Rcode : uint8_t {
    kRcodeNoError = 0,
    kRcodeFormErr = 1,
    kRcodeServFail = 2,
    kRcodeNxDomain = 3,
    kRcodeNotImp = 4,
    kRcodeRefused = 5,
    kRcodeYxDomain = 6,  // a prerequisite "name not in use" failed
    kRcodeYxRrset = 7,
    kRcodeNxRrset = 8,
    kRcodeNotAuth = 9,   // the signature was refused
    kRcodeNotZone = 10,
};

const char* rcode_text(uint8_t rcode);

// An update of `zone`: its zone section is set; the sections below fill
// the prerequisites (answers) and the changes (authorities).
Message make_update(const Name& zone, uint16_t id);
// Prerequisite: nothing at all exists at `name`.
void require_unused(Message& update, const Name& name);
// Prerequisite: the records of this name and type are exactly `record`.
void require_rrset(Message& update, Record record);
// Adds a record (class IN; the mDNS cache-flush bit is cleared).
void add_record(Message& update, Record record);
// Deletes the records of one type at `name`.
void delete_rrset(Message& update, const Name& name, uint16_t type);
// Deletes everything at `name`.
void delete_name(Message& update, const Name& name);
// Deletes the one record with this name, type and data.
void delete_record(Message& update, Record record);

// A standard query (recursion not asked for).
Message make_query(const Name& name, uint16_t type, uint16_t id);

}  // namespace qrv::discovery

#endif
