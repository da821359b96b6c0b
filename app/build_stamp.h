#ifndef BUILD_STAMP_H
#define BUILD_STAMP_H

#include <QString>

// The build identity line: "build time:yyyy-MM-dd hh:mm:ss [seconds]" from the
// compiler's __DATE__ ("Jan  3 2020") and __TIME__ ("15:08:08") texts, the
// seconds counted since 1970 UTC with the date and time taken as local time.
QString buildTimeLine(const char *buildDate, const char *buildTime);

#endif // BUILD_STAMP_H
