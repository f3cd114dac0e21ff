#include "catalog/catalog.h"

#include <cstring>

namespace {

// As stored: start absolute; loopStart and end relative to start.
TrackEntry gCatalog[kTrackCount] = {
    {16, 3853696, 10812928},          {10812944, 3044008, 19172208},
    {29985152, 1522004, 9586104},     {39571256, 716032, 14911744},
    {54483000, 358016, 7455872},      {61938872, 398720, 18867776},
    {80806648, 199360, 9433888},      {90240536, 343296, 12714688},
    {102955224, 171648, 6357344},     {109312568, 2718496, 24583680},
    {133896248, 1359248, 12291840},   {146188088, 707904, 13650560},
    {159838648, 353952, 6825280},     {166663928, 1606144, 27550976},
    {194214904, 803072, 13775488},    {207990392, 1520000, 18306944},
    {226297336, 760000, 9153472},     {235450808, 275504, 20617120},
    {256067928, 137752, 10308560},    {266376488, 858112, 26787840},
    {293164328, 429056, 13393920},    {306558248, 2833984, 19844512},
    {326402760, 1416992, 9922256},    {336325016, 2602200, 32563680},
    {368888696, 259584, 15528448},    {384417144, 24170752, 26522624},
    {410939768, 1457280, 24019744},   {434959512, 728640, 12009872},
    {446969384, 2398880, 25539360},   {472508744, 1199440, 12769680},
    {485278424, 1879240, 6741184},
};

bool gPrepared = false;

// Output file names, UTF-8. Each one is at most 49 bytes in code page 932,
// the encoding the catalogue's 50-byte name slots were laid out for.
const char* const kTrackNames[kTrackCount] = {
    "01 序章.wav",
    "02 朝の街並み.wav",
    "03 朝の街並み（ハーフレート）.wav",
    "04 静かな午後.wav",
    "05 静かな午後（ハーフレート）.wav",
    "06 風の丘.wav",
    "07 風の丘（ハーフレート）.wav",
    "08 夜明けの港.wav",
    "09 夜明けの港（ハーフレート）.wav",
    "10 雨上がりの道.wav",
    "11 雨上がりの道（ハーフレート）.wav",
    "12 遠い記憶.wav",
    "13 遠い記憶（ハーフレート）.wav",
    "14 決意の朝.wav",
    "15 決意の朝（ハーフレート）.wav",
    "16 星降る夜.wav",
    "17 星降る夜（ハーフレート）.wav",
    "18 追憶の庭.wav",
    "19 追憶の庭（ハーフレート）.wav",
    "20 迷いの森.wav",
    "21 迷いの森（ハーフレート）.wav",
    "22 黄昏に響く遠き鐘の音色.wav",
    "23 黄昏に響く遠き鐘の音色（ハーフレート）.wav",
    "24 終わらない旅.wav",
    "25 小さな約束.wav",
    "26 帰り道.wav",
    "27 光の中へ.wav",
    "28 光の中へ（ハーフレート）.wav",
    "29 いつかの空.wav",
    "30 いつかの空（ハーフレート）.wav",
    "31 エピローグ.wav",
};

}  // namespace

const char kVariantMarker[] = "（ハーフレート）";

void prepareCatalog() {
  if (gPrepared) return;
  for (TrackEntry& row : gCatalog) {
    row.loopStart += row.start;
    row.end += row.start;
  }
  gPrepared = true;
}

TrackEntry trackEntry(int index) { return gCatalog[index]; }

const char* trackFileName(int index) { return kTrackNames[index]; }

int32_t sampleRateFor(const char* name) {
  return std::strstr(name, kVariantMarker) != nullptr ? 22050 : 44100;
}
