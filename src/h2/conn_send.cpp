// H2Streams: concurrency slots, opening streams and sending heads, data and
// trailers.
#include "h2/conn.h"

WL_H2S_NOARGS(try_claim_slot) {
    (void)self;
    return wl_h2s_not_built("try_claim_slot");
}

WL_H2S_NOARGS(can_open) {
    (void)self;
    return wl_h2s_not_built("can_open");
}

WL_H2S_NOARGS(release_slot_count) {
    (void)self;
    return wl_h2s_not_built("release_slot_count");
}

WL_H2S_METHOD(apply_stream_limit) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("apply_stream_limit");
}

WL_H2S_METHOD(open_stream) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("open_stream");
}

WL_H2S_METHOD(send_data) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("send_data");
}

WL_H2S_METHOD(send_trailers) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("send_trailers");
}

WL_H2S_METHOD(send_response_head) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("send_response_head");
}
