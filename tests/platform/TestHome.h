#pragma once

#include <QDir>
#include <QTemporaryDir>

namespace lullwatch::test {

// Points HOME, the XDG folders and TMPDIR at fresh private folders while it lives.
class TestHome {
public:
    TestHome()
    {
        for (const char *variable : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
            const QString folder = m_root.filePath(QString::fromLatin1(variable));
            QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            qputenv(variable, QFile::encodeName(folder));
        }
    }

private:
    QTemporaryDir m_root;
};

} // namespace lullwatch::test
