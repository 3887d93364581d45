// What the link's thread keeps while it serves one connection (private to
// the link's files).
#ifndef QRV_TRANSPORT_CLIENT_SESSION_H
#define QRV_TRANSPORT_CLIENT_SESSION_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/client_link.h"
#include "transport/frame_numbers.h"
#include "transport/multicast_receiver.h"

namespace qrv::transport {

// What the link's thread keeps while it serves one connection, from its
// hello to its end.
struct ClientLink::Session {
    Session(ByteStream& stream_, bool shared_, std::string peer_, std::shared_ptr<Channel> channel_)
        : stream(stream_), fd(stream_.fd()), shared(shared_), peer(std::move(peer_)), channel(std::move(channel_))
    {
    }

    ByteStream& stream;  // read and written on the link's thread only
    const int fd;        // its socket, waited on
    const bool shared;       // the same-host path
    const std::string peer;  // for log lines
    std::string local;       // this host's address on the connection, where a group is joined
    const std::shared_ptr<Channel> channel;
    bool up = false;      // the server has taken the hello in
    bool well = true;     // false: the peer misbehaved
    bool silent = false;  // ended for the silence timeout
    BufferPool buffers;
    Mappings maps;
    std::vector<net::Fd> passed;  // descriptors that came with the last message
    Message m;
    FrameNumbers numbers;  // of the video frames taken, from the connection or the group
    FrameNumbers audio_numbers, metadata_numbers;  // likewise of the audio and metadata frames
    std::unique_ptr<DecodeStage> stage;
    std::chrono::steady_clock::time_point heard;  // the source's last message
    std::chrono::steady_clock::time_point greet_by;  // the handshake's deadline
    // The multicast group the source offered, while the media come from it
    // (made after the decode stage, gone before it).
    std::optional<wire::MulticastOfferFields> offer;
    std::unique_ptr<MulticastReceiver> group;
    std::chrono::steady_clock::time_point joined_at;
    // Since when the group ought to bring frames: the join, or the last
    // video the connection brought after it (the source sends on TCP until
    // it reads that we joined), and how far apart the source's frames came.
    std::chrono::steady_clock::time_point group_due;
    std::chrono::steady_clock::time_point last_tcp_video;
    std::chrono::steady_clock::duration frame_gap{};
    std::chrono::steady_clock::time_point rejoin_at;  // after a fallback
    std::chrono::milliseconds backoff{2000};
};

}  // namespace qrv::transport

#endif
