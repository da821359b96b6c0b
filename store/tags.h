#ifndef TAGS_H
#define TAGS_H

#include "common/global_data.h"
#include "store/algorithm_basic_data.h"
#include "store/anchormessage.h"
#include "store/tagmessage.h"

#include <QByteArray>
#include <QHash>
#include <QVector>

// The tag store: every tag ever heard, with the records of every anchor that
// heard it. Filing a record may complete an earlier transmission of its tag;
// the complete set comes back as solver input and `dataReady` says so.
//
// tagsFindTag, tagsAddNewTag and tagsAddNewData hold g_timer_10s_mutex; the
// anchor operations take no lock. One caller at a time: the algorithm thread.
class Tags
{
public:
    // Milliseconds of a monotonic clock; replaceable so tests need not sleep.
    using ArrivalClock = qint64 (*)();

    // Records of a set must have arrived within this much of the first record
    // of the set (the one of the lowest anchor index). Anchors report one
    // transmission within milliseconds; a record seconds apart belongs to an
    // older use of the same sequence number, 256 transmissions earlier.
    static constexpr qint64 kArrivalSpreadLimitMs = 5000;
    // Two time differences are the least the solver can work with.
    static constexpr int kMinSetAnchors = 3;

    // Bounds of the store when algorithm_config gives none. An identifier
    // costs about 3.5 KiB per anchor that heard it, so 10000 tags heard by 8
    // anchors stay under 300 MiB; 5 minutes outlast any sleeping tag's
    // reporting interval while a visitor's badge or an invented identifier
    // goes within minutes.
    static constexpr int kDefaultTagLimit = 10000;
    static constexpr int kDefaultTagExpirySeconds = 300;

    // Reads delay_window_1908 from config.ini in the working directory.
    Tags();
    // For tests and benchmarks: no configuration file involved.
    explicit Tags(int delayWindow);
    Q_DISABLE_COPY(Tags)

    int tagsFindTag(const TAG_IMEI_t &tag);
    void tagsAddNewTag(const TAG_IMEI_t &tag, const TagMessage &message);
    // True when tagLimit tags are stored: a new tag is then not added.
    bool tagsFull();
    // Removes every tag not heard for tagExpiryMs, with its records and
    // bookkeeping, and returns their ids. Indices of the remaining tags may
    // change: callers keep none across records.
    QList<TAG_IMEI_t> tagsRemoveExpired();
    int tagsFindAnchor(const QByteArray &anchorId, int tagIndex);
    void tagsAddNewAnchor(int tagIndex, const QByteArray &anchorId, const AnchorMessage &anchor);
    // Files one record of a known tag and anchor. Returns the set of the
    // transmission `delayWindow` numbers earlier when this record made it due
    // and it passed the checks; valid only when dataReady is true afterwards.
    AlgorithmBasicData tagsAddNewData(int tagIndex, int anchorIndex, const QByteArray &record);

    // The sequence number examined when `sequence` is first counted.
    static int dueSequence(int sequence, int delayWindow);
    // A window outside 0..255 is reduced modulo 256 (the wrap of the sequence
    // number) with a warning.
    static int checkedDelayWindow(int configured);
    // nullptr restores the steady clock.
    static void setArrivalClock(ArrivalClock clock);
    // Now on the clock of the arrivals and of tag expiry.
    static qint64 tagsNowMs();

    QHash<quint64, int> tagIndexMap; // storeIdKey of the tag -> tag index
    QVector<TagMessage> tagMessages;
    bool dataReady = false;
    int delayWindow = 1;
    int tagNum = 0;
    int anchorTotal = 0; // written by the solver's constructor
    // Written by the algorithm thread's constructor (algorithm_config).
    int tagLimit = kDefaultTagLimit;
    qint64 tagExpiryMs = qint64(kDefaultTagExpirySeconds) * 1000;

private:
    void clearTransmission(TagMessage &tag, int sequence);

    // Tag id by tag index, so a due set finds its tag without walking the map.
    QVector<TAG_IMEI_t> tagIds;
};

#endif // TAGS_H
