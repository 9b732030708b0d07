#pragma once

#include "policy/OriginPolicy.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <filesystem>

namespace corvane::policy {

// The policy as its file says now: read at start, then again when asked
// (the system signer, at SIGHUP) or, when watching, whenever the file or the
// folders above it change (the session agent). Says in one line what a new
// policy allows whenever that changes.
class PolicyFile final : public QObject {
    Q_OBJECT

public:
    enum class Reload { whenAsked, whenChanged };

    PolicyFile(std::filesystem::path path, Reload reload, QObject* parent = nullptr);

    const OriginPolicy& policy() const { return m_policy; }
    void reload();

signals:
    void changed();

private:
    void watch();

    std::filesystem::path m_path;
    OriginPolicy m_policy;
    std::unique_ptr<QFileSystemWatcher> m_watcher;
    QTimer m_settle;
};

} // namespace corvane::policy
