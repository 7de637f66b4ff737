#include "Links.h"

#include <QProcess>

namespace lullwatch {

bool openLink(const QUrl &url)
{
    if (!url.isValid() || url.isEmpty())
        return false;
    QProcess opener;
    opener.setProgram(QStringLiteral("xdg-open"));
    opener.setArguments({url.toString(QUrl::FullyEncoded)});
    opener.setStandardInputFile(QProcess::nullDevice());
    opener.setStandardOutputFile(QProcess::nullDevice());
    opener.setStandardErrorFile(QProcess::nullDevice());
    return opener.startDetached();
}

} // namespace lullwatch
