// Incremental HTTP/2 frame decoder: bytes in, frame values out through a
// FrameSink, connection errors as values. Header blocks are decoded as their
// fragments arrive. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/buffer.h"
#include "proto/h2/frame.h"
#include "proto/h2/hpack.h"

namespace wl::h2 {

enum class PrefaceMatch : uint8_t { Partial, Match, Mismatch };

// Classifies the first bytes of a connection without any state.
PrefaceMatch match_preface(std::string_view data);

class FrameDecoder {
public:
    enum class Status : uint8_t { Ok, Error, SinkStopped };

    explicit FrameDecoder(bool role_client = true) : role_client_(role_client) {}

    // Decodes every complete frame now available. On Error, *err says why;
    // frames delivered before the error were already handed to the sink.
    Status receive(std::string_view data, FrameSink& sink, ConnError* err);

    // Appends to the preface buffer and compares; on Match the bytes after
    // the preface move to the receive buffer.
    PrefaceMatch feed_preface(std::string_view data);

    size_t buffered() const { return buf_.size(); }
    // Adds bytes to the receive buffer without decoding them (bytes another
    // reader took off the transport); the next receive() decodes them.
    void append_input(std::string_view data) { buf_.append(data); }

    // Limits. set_max_recv_frame_size expects a value already range-checked.
    void set_max_recv_frame_size(uint32_t v) {
        max_recv_frame_size_ = v;
        recompute_continuation_limit();
    }
    void set_max_header_list_size(size_t v) {
        max_header_list_size_ = v;
        recompute_continuation_limit();
    }
    void set_recv_header_table_size(uint32_t v) { hpack_.set_recv_header_table_size(v); }

    uint32_t max_recv_frame_size() const { return max_recv_frame_size_; }
    size_t max_header_list_size() const { return max_header_list_size_; }
    size_t continuation_limit() const { return continuation_limit_; }
    bool role_client() const { return role_client_; }
    bool header_block_pending() const { return partial_; }
    const HpackDecoder& hpack() const { return hpack_; }
    // The list the next header block is decoded into; the sink may move a
    // complete block's list out. Between blocks a caller may swap storage
    // in (an emptied list) and take what a call left unused back out.
    HeaderList& block_list() { return frame_.fields.headers; }

    // The engine's server role reads the client preface first.
    bool preface_required = false;
    bool preface_consumed = true;

private:
    Status decode_frames(const uint8_t* p, size_t n, size_t* used, FrameSink& sink, ConnError* err);
    Status decode_one(uint8_t type, uint8_t flags, uint32_t sid, const uint8_t* pl, uint32_t len,
                      FrameSink& sink, ConnError* err);
    Status on_headers(uint8_t flags, uint32_t sid, const uint8_t* pl, uint32_t len, FrameSink& sink,
                      ConnError* err);
    Status on_continuation(uint8_t flags, uint32_t sid, const uint8_t* pl, uint32_t len,
                           FrameSink& sink, ConnError* err);
    Status on_settings(uint8_t flags, uint32_t sid, const uint8_t* pl, uint32_t len, FrameSink& sink,
                       ConnError* err);
    // One decoding pass over the held bytes plus `more`; finishes the block
    // on END_HEADERS.
    Status decode_block(std::string_view more, bool end_headers, FrameSink& sink, ConnError* err);
    void recompute_continuation_limit();

    static constexpr size_t kKeepCapacity = 256 * 1024;

    bool role_client_;
    uint32_t max_recv_frame_size_ = kDefaultMaxFrameSize;
    size_t max_header_list_size_ = kDefaultMaxHeaderListSize;
    size_t continuation_limit_ = 1280;

    ByteBuf buf_;      // received bytes not yet consumed as whole frames
    ByteBuf preface_;  // bytes of the client preface seen so far
    bool preface_active_ = false;

    HpackDecoder hpack_;
    // Partial header block.
    bool partial_ = false;
    bool self_dependent_ = false;
    size_t continuations_ = 0;
    ByteBuf held_;  // header-block bytes not yet decodable
    HeadersFrame frame_;
};

}  // namespace wl::h2
