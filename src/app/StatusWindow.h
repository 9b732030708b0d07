#pragma once

#include <QPlainTextEdit>
#include <QWidget>

#include <string>
#include <vector>

namespace corvane {

// The console check's lines on screen, for a person who started the agent
// from a menu or at login and never sees its standard output.
class StatusWindow final : public QWidget {
    Q_OBJECT

public:
    explicit StatusWindow(QWidget* parent = nullptr);

    // Replaces the text, then shows and raises the window.
    void showLines(const std::vector<std::string>& lines);

private:
    QPlainTextEdit m_text;
};

} // namespace corvane
