// report(): one line per call, prefixed with its priority, on standard error;
// or kept in memory while a test captures them.  A line that standard error
// does not take is lost: there is nowhere else to say so.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "daemon/host/host.h"
#include "daemon/host/standin/standin.h"

namespace {

struct captured_line {
    int priority;
    char *text;
};

int capturing;
captured_line *lines;
int line_count;
int line_room;

void keep_line(int priority, char *text)
{
    if (line_count == line_room) {
        int room = line_room ? line_room * 2 : 64;
        void *grown = realloc(lines, sizeof(captured_line) * room);
        if (!grown) {
            (void)fprintf(stderr, "report: out of memory keeping a line\n");
            abort();
        }
        lines = static_cast<captured_line *>(grown);
        line_room = room;
    }
    lines[line_count].priority = priority;
    lines[line_count].text = text;
    line_count++;
}

} // namespace

extern "C" {

void report(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    char *text = nullptr;
    int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n < 0) {
        (void)fprintf(stderr, "report: cannot format a line\n");
        return;
    }
    if (capturing) {
        keep_line(priority, text);
        return;
    }
    // A message may carry its own trailing newline; print exactly one.
    const char *end = (n > 0 && text[n - 1] == '\n') ? "" : "\n";
    (void)fprintf(stderr, "<%d> %s%s", priority, text, end);
    free(text);
}

void standin_capture_reports(int on)
{
    capturing = on;
}

void standin_clear_reports(void)
{
    for (int i = 0; i < line_count; i++)
        free(lines[i].text);
    line_count = 0;
}

int standin_report_count(void)
{
    return line_count;
}

int standin_report_priority(int index)
{
    return (index >= 0 && index < line_count) ? lines[index].priority : -1;
}

const char *standin_report_text(int index)
{
    return (index >= 0 && index < line_count) ? lines[index].text : nullptr;
}

} // extern "C"
