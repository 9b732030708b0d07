#include "StatusWindow.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvane {

StatusWindow::StatusWindow(QWidget* parent)
    : QWidget(parent)
{
    setWindowTitle(tr("Corvane Compliance — Wi-Fi Status"));
    const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_text.setFont(font);
    m_text.setReadOnly(true);
    m_text.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text.setLineWrapMode(QPlainTextEdit::NoWrap);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    QPushButton* copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    connect(copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(m_text.toPlainText()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&m_text);
    layout->addWidget(buttons);

    // Room for a network line (about 80 characters) and a dozen networks.
    const QFontMetrics metrics(font);
    resize(metrics.horizontalAdvance(QLatin1Char('M')) * 90, metrics.lineSpacing() * 22);
}

void StatusWindow::showLines(const std::vector<std::string>& lines)
{
    QStringList text;
    for (const std::string& line : lines)
        text << QString::fromStdString(line);
    m_text.setPlainText(text.join(QLatin1Char('\n')));
    // Back from the task bar too, if the person had minimised it.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

} // namespace corvane
