#include "StatusWindow.h"

#include "WindowActivation.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace corvane {
namespace {

// What the frame, the margins and a scroll bar take beside the text, in characters.
constexpr int kFrameColumns = 6;

} // namespace

StatusWindow::StatusWindow(QWidget* parent)
    : QWidget(parent)
{
    setWindowTitle(tr("Corvane Compliance — Status"));
    const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_text.setFont(font);
    m_text.setReadOnly(true);
    m_text.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text.setLineWrapMode(QPlainTextEdit::NoWrap);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    QPushButton* copy = buttons->addButton(tr("&Copy"), QDialogButtonBox::ActionRole);
    QPushButton* quit = buttons->addButton(tr("&Quit Corvane"), QDialogButtonBox::DestructiveRole);
    connect(quit, &QPushButton::clicked, this, &StatusWindow::quitRequested);
    connect(copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(m_text.toPlainText()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&m_text);
    layout->addWidget(buttons);

    // Room for a network line (about 80 characters), the summary and a dozen networks.
    const QFontMetrics metrics(font);
    resize(metrics.horizontalAdvance(QLatin1Char('M')) * 90, metrics.lineSpacing() * 30);
}

void StatusWindow::showLines(const std::vector<std::string>& lines)
{
    QStringList text;
    const QFontMetrics metrics(m_text.font());
    int widest = 0;
    for (const std::string& line : lines) {
        text << QString::fromStdString(line);
        widest = std::max(widest, metrics.horizontalAdvance(text.back()));
    }
    m_text.setPlainText(text.join(QLatin1Char('\n')));
    // Wide enough for the longest line (the key's path), as far as the screen allows.
    const int wanted = widest + metrics.horizontalAdvance(QLatin1Char('M')) * kFrameColumns;
    if (wanted > width())
        resize(std::min(wanted, screen()->availableGeometry().width() * 9 / 10), height());
    // Back from the task bar too, if the person had minimised it.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    WindowActivation::activate(*this);
}

} // namespace corvane
