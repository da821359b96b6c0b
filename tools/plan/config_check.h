#ifndef CONFIG_CHECK_H
#define CONFIG_CHECK_H

#include <QString>
#include <QVector>

// solver_plan --check: a site's config.ini read as the program reads it, every
// key and value against the rules of common/config_keys, the anchors'
// geometry and the endpoints. One finding per problem, with the file's line
// where there is one.
namespace plan {

struct Finding {
    bool error = false; // else a warning
    int line = 0;       // 1-based; 0: the file as a whole
    QString text;
};

// False (with the reason) when the file cannot be read at all.
bool checkConfig(const QString &path, QVector<Finding> *findings, QString *why);

// "error: FILE:LINE: text", sorted by line, and the summary line; the exit
// code: 0 clean, 1 warnings only, 2 errors.
int printFindings(const QString &path, const QVector<Finding> &findings);

} // namespace plan

#endif // CONFIG_CHECK_H
