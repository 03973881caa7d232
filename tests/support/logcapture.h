#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QLoggingCategory>
#include <QStringList>

// The lines one logging category writes while this lives, its debug output switched on.
class LogCapture
{
public:
    explicit LogCapture(const char *category) : name(category)
    {
        current = this;
        QLoggingCategory::setFilterRules(QStringLiteral("%1.debug=true").arg(category));
        previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &context, const QString &line) {
                if (current && qstrcmp(context.category, current->name) == 0)
                    current->lines << line;
            });
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        current = nullptr;
    }
    QStringList lines;

private:
    inline static LogCapture *current = nullptr;
    const char *name;
    QtMessageHandler previous;
};

#endif // LOGCAPTURE_H
