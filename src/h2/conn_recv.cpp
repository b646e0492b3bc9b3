// H2Streams: the inbound per-stream operations (HEADERS, DATA,
// WINDOW_UPDATE, RST_STREAM).
#include "h2/conn.h"

WL_H2S_METHOD(recv_headers) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("recv_headers");
}

WL_H2S_METHOD(recv_data) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("recv_data");
}

WL_H2S_METHOD(recv_window_update) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("recv_window_update");
}

WL_H2S_METHOD(recv_reset) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return wl_h2s_not_built("recv_reset");
}
