// The run's sink and the two reports every layer makes of a failure.
#include "common/report.h"

#include "common/types.h"

namespace talvek {

void (*ReportSink)(const REPORT_EVENT& ev) = nullptr;

void report_simple(REPORT_KIND kind, std::string_view text, int32_t code) {
    REPORT_EVENT ev{kind};
    ev.text = text;
    ev.code = code;
    report(ev);
}

void report_follow(std::string_view path, std::string_view text, bool fSearch, bool fFailed) {
    REPORT_EVENT ev{RPT_FOLLOW};
    ev.path = path;
    ev.text = text;
    ev.fSearch = fSearch;
    ev.fFailed = fFailed;
    report(ev);
}

int32_t report_error(REPORT_ERROR error, int32_t rc, std::string_view file) {
    REPORT_EVENT ev{RPT_ERROR};
    ev.error = error;
    ev.code = rc;
    ev.text = file;
    report(ev);
    return rc;
}

void report_fatal(REPORT_ERROR error, int32_t rc) {
    REPORT_EVENT ev{RPT_FATAL};
    ev.error = error;
    ev.code = rc;
    report(ev);
    tool_exit(rc);
}

}  // namespace talvek
