// Renders the SVG icon to one PNG of the given size through Qt's own SVG
// image plugin, the renderer the tray uses, so the PNGs match what Qt draws.
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    bool sizeOk = false;
    const int size = argc == 4 ? QByteArray(argv[2]).toInt(&sizeOk) : 0;
    if (!sizeOk || size <= 0) {
        std::fputs("usage: corvane-render-icon SVG SIZE PNG\n", stderr);
        return 2;
    }
    QImageReader reader(QString::fromLocal8Bit(argv[1]), "svg");
    reader.setScaledSize(QSize(size, size));
    const QImage image = reader.read();
    if (image.isNull() || !image.convertToFormat(QImage::Format_ARGB32).save(QString::fromLocal8Bit(argv[3]), "png")) {
        std::fprintf(stderr, "corvane-render-icon: %s\n", qPrintable(reader.errorString()));
        return 1;
    }
    return 0;
}
