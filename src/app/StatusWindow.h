#pragma once

#include <QPlainTextEdit>
#include <QWidget>

#include <string>
#include <vector>

namespace corvane {

// The agent's status on screen, a short summary above the console check's
// lines, for a person who started the agent from a menu or at login and
// never sees its standard output. Where no tray shows the agent, its Quit
// button is the way to end it.
class StatusWindow final : public QWidget {
    Q_OBJECT

public:
    explicit StatusWindow(QWidget* parent = nullptr);

    // Replaces the text, then shows and raises the window.
    void showLines(const std::vector<std::string>& lines);

signals:
    void quitRequested();

private:
    QPlainTextEdit m_text;
};

} // namespace corvane
