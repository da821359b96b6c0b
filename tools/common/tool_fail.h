#ifndef TOOL_FAIL_H
#define TOOL_FAIL_H

#include <QString>

#include <cstdio>
#include <cstdlib>

// How the command-line tools give up on bad input or a file they cannot
// use: one line on standard error naming the tool, exit status 2.
[[noreturn]] inline void toolFail(const char *tool, const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", tool, qPrintable(message));
    std::exit(2);
}

#endif // TOOL_FAIL_H
