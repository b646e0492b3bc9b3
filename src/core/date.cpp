#include "core/date.h"

#include <ctime>

namespace wl {

namespace {

void put2(char* o, int v) {
    o[0] = char('0' + v / 10);
    o[1] = char('0' + v % 10);
}

// Days since 1970-01-01 to civil date (proleptic Gregorian).
void civil_from_days(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t yy = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *d = int(doy - (153 * mp + 2) / 5 + 1);
    *m = int(mp < 10 ? mp + 3 : mp - 9);
    *y = int(yy + (*m <= 2));
}

struct DateCache {
    int64_t second = INT64_MIN;  // the second `text` renders
    char text[kHttpDateLen + 1] = {};
};

thread_local DateCache tl_cache;

}  // namespace

void render_imf_fixdate(int64_t secs, char out[kHttpDateLen]) {
    static const char kDays[7][4] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    int64_t rem = secs - days * 86400;
    int y, m, d;
    civil_from_days(days, &y, &m, &d);
    int wd = int(((days % 7) + 7) % 7);
    const char* dn = kDays[wd];
    out[0] = dn[0];
    out[1] = dn[1];
    out[2] = dn[2];
    out[3] = ',';
    out[4] = ' ';
    put2(out + 5, d);
    out[7] = ' ';
    const char* mn = kMonths[m - 1];
    out[8] = mn[0];
    out[9] = mn[1];
    out[10] = mn[2];
    out[11] = ' ';
    put2(out + 12, (y / 100) % 100);
    put2(out + 14, y % 100);
    out[16] = ' ';
    put2(out + 17, int(rem / 3600));
    out[19] = ':';
    put2(out + 20, int(rem / 60 % 60));
    out[22] = ':';
    put2(out + 23, int(rem % 60));
    out[25] = ' ';
    out[26] = 'G';
    out[27] = 'M';
    out[28] = 'T';
}

const char* cached_http_date_at(int64_t secs) {
    DateCache& c = tl_cache;
    // Any other second re-renders: a clock stepped back must not keep
    // writing a date from the future.
    if (secs != c.second) {
        render_imf_fixdate(secs, c.text);
        c.second = secs;
    }
    return c.text;
}

const char* cached_http_date() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return cached_http_date_at(int64_t(ts.tv_sec));
}

}  // namespace wl
