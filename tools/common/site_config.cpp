#include "tools/common/site_config.h"

#include "common/config_file.h"

#include <QFileInfo>

#include <cctype>
#include <QStringList>

namespace {

// Hexadecimal digits of the key, either case; anything else is skipped, as
// the solver does when it decodes the key.
QByteArray decodeAnchorKey(const QString &key)
{
    QByteArray digits;
    for (const QChar c : key) {
        if (std::isxdigit(static_cast<unsigned char>(c.toLatin1())))
            digits.append(c.toLatin1());
    }
    return QByteArray::fromHex(digits).left(6);
}

} // namespace

bool SiteConfig::load(const QString &path, SiteConfig *out, QString *error, QStringList *warnings)
{
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("no such file: %1").arg(path);
        return false;
    }
    ConfigFile file(path);
    SiteConfig site;
    const QString group = QStringLiteral("anchor_coordinate");
    for (const QString &key : file.keys(group)) {
        const QStringList parts = file.text(group, key).split(QLatin1Char(','));
        const QByteArray id = decodeAnchorKey(key);
        bool okX = false, okY = false, okZ = false;
        SiteAnchor anchor;
        if (parts.size() == 3) {
            anchor.x = parts[0].trimmed().toDouble(&okX);
            anchor.y = parts[1].trimmed().toDouble(&okY);
            anchor.z = parts[2].trimmed().toDouble(&okZ);
        }
        if (id.size() != 6 || !okX || !okY || !okZ) {
            if (warnings)
                warnings->append(QStringLiteral("anchor %1 skipped: needs 12 hex digits and \"x,y,z\"").arg(key));
            continue;
        }
        anchor.id = id;
        anchor.key = key;
        site.anchors.append(anchor);
    }
    site.tagHeight = file.real(QStringLiteral("tag_high"), QStringLiteral("tag1"));
    site.anchorPort = file.port(QStringLiteral("network_setting"), QStringLiteral("local_udp_listen_anchor_port"));
    site.locationPort = file.port(QStringLiteral("network_setting"), QStringLiteral("remote_udp_server_location_port"));
    site.delayWindow = file.integer(QStringLiteral("algorithm_config"), QStringLiteral("delay_window_1908"));
    // track_filter takes the moving mean's place: reports are then not means.
    site.smoothEnable = file.isWord(QStringLiteral("algorithm_config"), QStringLiteral("s_enable"), QStringLiteral("true"))
                        && !file.isWord(QStringLiteral("algorithm_config"), QStringLiteral("track_filter"),
                                        QStringLiteral("true"));
    site.smoothLength = file.integer(QStringLiteral("algorithm_config"), QStringLiteral("s_length"));
    site.reportAccuracy =
        file.isWord(QStringLiteral("algorithm_config"), QStringLiteral("report_accuracy"), QStringLiteral("true"));
    if (site.anchors.size() < 3) {
        *error = QStringLiteral("%1 names %2 usable anchors; positioning needs at least 3")
                     .arg(path)
                     .arg(site.anchors.size());
        return false;
    }
    *out = site;
    return true;
}
