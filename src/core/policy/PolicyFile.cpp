#include "policy/PolicyFile.h"

#include "log/Log.h"

#include <QStringList>

namespace corvane::policy {
namespace {

// Editors and configuration tools write a file in steps (made empty, written,
// moved into place): it is read once they have been quiet this long.
constexpr std::chrono::milliseconds kSettleTime{200};

} // namespace

PolicyFile::PolicyFile(std::filesystem::path path, Reload reload, QObject* parent)
    : QObject(parent)
    , m_path(std::move(path))
    , m_policy(OriginPolicy::load(m_path))
{
    if (m_policy.fromFile())
        logLine("Policy: " + m_policy.summary());
    if (reload == Reload::whenChanged) {
        m_watcher = std::make_unique<QFileSystemWatcher>();
        m_settle.setSingleShot(true);
        m_settle.setInterval(kSettleTime);
        connect(&m_settle, &QTimer::timeout, this, &PolicyFile::reload);
        connect(m_watcher.get(), &QFileSystemWatcher::fileChanged, &m_settle, qOverload<>(&QTimer::start));
        connect(m_watcher.get(), &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
        watch();
    }
}

void PolicyFile::reload()
{
    // Watched again before it is read: a change from now on is not missed.
    if (m_watcher)
        watch();
    OriginPolicy policy = OriginPolicy::load(m_path);
    const bool different = policy.summary() != m_policy.summary() || policy.fromFile() != m_policy.fromFile();
    m_policy = std::move(policy);
    if (different)
        logLine("Policy: " + m_policy.summary());
    emit changed();
}

// The file, and the nearest folder above it that exists: a file made,
// replaced or removed (as editors and configuration tools do) is seen too.
void PolicyFile::watch()
{
    if (const QStringList watched = m_watcher->files() + m_watcher->directories(); !watched.isEmpty())
        m_watcher->removePaths(watched);
    std::error_code error;
    if (std::filesystem::exists(m_path, error))
        m_watcher->addPath(QString::fromStdString(m_path.string()));
    for (std::filesystem::path folder = m_path.parent_path(); !folder.empty(); folder = folder.parent_path()) {
        if (std::filesystem::is_directory(folder, error)) {
            m_watcher->addPath(QString::fromStdString(folder.string()));
            break;
        }
        if (folder == folder.root_path())
            break;
    }
}

} // namespace corvane::policy
