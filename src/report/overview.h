// The whole disk at a glance: one self-contained HTML page (inline CSS, no
// script, nothing fetched) with the source, a timeline of every channel and
// one table per channel. Built from the directory alone, so derived.
//
// Markers for programs reading the page back (stamps as decimal RecorderTime):
//   <div class="tl" data-from data-to>          the timeline's span
//   <div class="lane" data-channel>             one per channel with recordings
//   <div class="bar" data-channel data-start data-end data-count>
//       one recording (data-count="1") or several merged (their first start, last end)
//   <table class="rec" data-channel>            one per channel with recordings
//   <tr data-start data-end>                    one per recording in that table
//   <div class="ubar" data-channel data-start data-end data-first>
//       one unlisted recording, in its channel's lane (first cluster)
//   <div class="flane">                         the carved fragments' lane
//   <div class="frag" data-first data-clusters> one carved fragment
//   <table class="unl">, <table class="carved"> one row per unlisted recording / fragment
#pragma once

#include "layout.h"
#include "scan.h"
#include "sourcedescription.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

class QIODevice;

namespace korvath {

struct OverviewInput {
    SourceDescription source;
    QStringList notes; // further lines about the source, shown as given
    RecorderTime from = 0; // the range asked, as recorder stamps
    RecorderTime to = 0;
    std::optional<qint64> clockOffset; // recorder's clock minus the true time, seconds
    QVector<Recording> recordings;     // all channels, any order
    // Footage no start record lists, each kind drawn in a style of its own:
    // unlisted recordings in their channel's lane, carved fragments (no
    // times: placed by cluster on the disk) in a lane of their own.
    QVector<Recording> unlisted;
    QVector<Recording> carved;
    uint64_t clusterCount = 0; // the directory's records, for placing fragments
    QHash<QString, QByteArray> previews; // PNG bytes by recording name; others are not embedded
    QString generated;                 // when and by what, shown as given
    int timelineWidth = 1200;          // nominal pixels: recordings narrower merge
};

QString overviewHtml(const OverviewInput &in);

// Writes the page through a temporary file renamed at the end: the page is
// whole or absent. False with the reason in *error.
bool writeOverviewHtml(const OverviewInput &in, const QString &path, QString *error);

} // namespace korvath
