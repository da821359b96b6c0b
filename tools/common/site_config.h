#ifndef SITE_CONFIG_H
#define SITE_CONFIG_H

#include <QByteArray>
#include <QString>
#include <QVector>

// What the simulator and the monitor need to know about a site, read from its
// config.ini with the same rules as the program: the anchors with their
// coordinates, the tag height, the ports and the engine settings that decide
// which transmission a position report describes.
struct SiteAnchor {
    QByteArray id; // the 6 identifier bytes, as they travel in a record
    QString key;   // the key text as written in [anchor_coordinate]
    double x = 0;
    double y = 0;
    double z = 0;
};

struct SiteConfig {
    QVector<SiteAnchor> anchors; // key order, as the solver reads them
    double tagHeight = 0;
    quint16 anchorPort = 0;
    quint16 locationPort = 0;
    int delayWindow = 0;
    bool smoothEnable = false; // the moving mean: s_enable, and no track_filter
    int smoothLength = 0;
    bool reportAccuracy = false; // reports carry each position's estimated error

    // Reads the file; false with a reason when it is missing or names fewer
    // than three usable anchors. Entries that are not six identifier bytes and
    // three numbers are skipped and listed in `warnings`.
    static bool load(const QString &path, SiteConfig *out, QString *error, QStringList *warnings = nullptr);
};

#endif // SITE_CONFIG_H
