// The video frames of the same-host path as a receiver's link takes them:
// a reference into one of the source's shared-memory pools, mapped once per
// connection (passed once and named by number after that, or passed with
// every frame by a source that does not number them), checked to lie inside
// it, and released to the source when the last reference to the frame goes.
#include "transport/client_link.h"

#include "base/unix_socket.h"

namespace qrv::transport {

namespace {

// Pools of one source that a connection keeps mapped; beyond, maps no one
// uses any more are dropped first.
constexpr size_t kMaxMappings = 16;
// The largest pool a receiver maps: a frame's largest data and its header.
constexpr size_t kMaxPoolBytes = wire::kMaxVideoDataBytes + (1u << 20);

}  // namespace

// The mapping of a pool passed with every frame, kept by file identity.
std::shared_ptr<const net::ShmRegion> ClientLink::map_by_file(int fd, Mappings& maps)
{
    uint64_t device = 0, inode = 0;
    if (!net::file_identity(fd, device, inode))
        return nullptr;
    auto& slot = maps.by_file[{device, inode}];
    if (!slot) {
        if (maps.by_file.size() > kMaxMappings) {
            for (auto it = maps.by_file.begin(); it != maps.by_file.end();) {
                if (it->second && it->second.use_count() == 1)
                    it = maps.by_file.erase(it);
                else
                    ++it;
            }
        }
        slot = net::ShmRegion::map_readonly(fd, kMaxPoolBytes);
        if (!slot) {
            maps.by_file.erase({device, inode});
            return nullptr;
        }
    }
    std::shared_ptr<const net::ShmRegion> region = maps.by_file[{device, inode}];
    if (maps.by_file.size() > kMaxMappings)
        maps.by_file.erase({device, inode});  // all in use: this one stays unmapped after use
    return region;
}

// The mapping of a pool the source numbers: mapped when its descriptor
// comes (its first frame, or again after the pool was forgotten), found by
// its number otherwise. Null for a number this end does not keep, which
// the source, counting alike, never sends without the descriptor.
std::shared_ptr<const net::ShmRegion> ClientLink::map_by_number(uint64_t number, std::vector<net::Fd>& passed,
                                                                Mappings& maps)
{
    if (passed.empty()) {
        auto* kept = maps.by_number.find(number);
        return kept ? *kept : nullptr;
    }
    std::shared_ptr<const net::ShmRegion> region = net::ShmRegion::map_readonly(passed[0].get(), kMaxPoolBytes);
    if (region)
        maps.by_number.keep(number, region);
    return region;
}

bool ClientLink::take_shared(Message& m, std::vector<net::Fd>& passed, Mappings& maps,
                             const std::shared_ptr<Channel>& channel)
{
    const auto f = wire::decode_shm_video(m.header, m.fixed);
    if (!f || passed.size() > 1 || (passed.empty() && f->region == 0))
        return false;
    const auto bytes = wire::video_data_bytes(f->video);
    if (!bytes)
        return false;
    std::shared_ptr<const net::ShmRegion> region =
        f->region ? map_by_number(f->region, passed, maps) : map_by_file(passed[0].get(), maps);
    passed.clear();
    if (!region)
        return false;
    // The pixels must lie wholly inside the mapping.
    if (f->offset > region->size() || *bytes > region->size() - f->offset)
        return false;
    auto frame = std::make_shared<SharedFrame>();
    frame->region = std::move(region);
    frame->data = frame->region->data() + f->offset;
    frame->size = static_cast<size_t>(*bytes);
    frame->release = [channel, id = f->frame_id] { channel->post(wire::encode_release({id})); };
    // From here on it is an ordinary video message whose data is elsewhere.
    m.header.type = wire::MessageType::video;
    m.fixed = wire::encode_video_fixed(f->video);
    m.header.fixed_len = static_cast<uint32_t>(m.fixed.size());
    m.header.data_len = *bytes;
    m.data.reset();
    m.shared = std::move(frame);
    return true;
}

}  // namespace qrv::transport
