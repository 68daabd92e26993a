// The reports every layer makes of a failure, and of events with a text and a code.
#include "common/report.h"

namespace talvek {

void report_simple(REPORT_SINK* sink, REPORT_KIND kind, std::string_view text, int32_t code) {
    REPORT_EVENT ev{kind};
    ev.text = text;
    ev.code = code;
    report(sink, ev);
}

int32_t report_error(REPORT_SINK* sink, REPORT_ERROR error, int32_t rc, std::string_view file) {
    REPORT_EVENT ev{RPT_ERROR};
    ev.error = error;
    ev.code = rc;
    ev.text = file;
    report(sink, ev);
    return rc;
}

int32_t report_fatal(REPORT_SINK* sink, REPORT_ERROR error, int32_t rc) {
    REPORT_EVENT ev{RPT_FATAL};
    ev.error = error;
    ev.code = rc;
    report(sink, ev);
    return rc;
}

}  // namespace talvek
