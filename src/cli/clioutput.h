#ifndef CLIOUTPUT_H
#define CLIOUTPUT_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

// Texts for people pass through tr(); result keys and values, which scripts read, never do.
class CliText
{
    Q_DECLARE_TR_FUNCTIONS(CliText)
};

// Results on standard output (tab-separated text or JSON Lines); notes, errors and the progress
// line on standard error.
class CliOutput
{
public:
    CliOutput(bool json, bool quiet);

    bool isJson() const { return json; }

    // Text mode prints one line per row, its fields made printable and joined by tabs; JSON mode
    // prints the object untouched, so that a script sees a device's exact text.
    void result(const QVector<QStringList> &rows, const QJsonObject &object);
    // JSON progress objects on standard output, unless quiet.
    void event(const QJsonObject &object);
    void note(const QString &text);
    void error(const QString &text);

    // A line redrawn in place while standard error is a terminal and output is not quiet.
    void startProgress(const QString &label, qint64 total, const QString &unit);
    void progress(qint64 done);
    void endProgress();

    // Text from a device or an adapter, safe to show on a terminal: control, format and
    // separator characters (tabs, line breaks, escapes, bidirectional overrides) become blanks.
    static QString printable(QString text);

private:
    void drawProgress(qint64 done);
    void clearProgress();
    static void writeLine(FILE *stream, const QString &text);

    bool json;
    bool quiet;
    bool progressShown;
    QString progressLabel;
    QString progressUnit;
    qint64 progressTotal = 0;
    int drawnWidth = 0;
    QElapsedTimer progressClock;
    qint64 lastDrawMs = -1;
};

#endif // CLIOUTPUT_H
