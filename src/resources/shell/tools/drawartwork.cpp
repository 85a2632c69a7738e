// Draws the browser shell's pictures: the window background, the image buttons with their
// hover pictures, the padlock, the splash, the template previews and the small pictures the
// generated pages use. Every picture is drawn here from shapes; run it to make them again:
//   quelt_artwork src/resources/shell
// PNG for the windows (images/), GIF for the files shipped to the shell's folder (quelt/).
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <QString>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

namespace {

QString gOut;

QImage Canvas(int w, int h, QColor fill = Qt::transparent) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(fill);
    return img;
}

void SavePng(const QImage& img, const QString& name) {
    QString path = gOut + "/images/" + name;
    QDir().mkpath(QFileInfo(path).path());
    if (!img.save(path, "PNG")) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

// --- GIF89a writer: one frame, a palette of at most 255 colours plus a transparent index,
// LZW data made of literal codes only (a clear code every 254 codes keeps the code width
// at 9 bits), which every decoder reads.
void SaveGif(const QImage& source, const QString& name) {
    QImage img = source.convertToFormat(QImage::Format_ARGB32);
    const int w = img.width(), h = img.height();
    std::map<QRgb, int> index;
    std::vector<QRgb> palette;
    bool exact = true;
    for (int y = 0; y < h && exact; ++y) {
        for (int x = 0; x < w; ++x) {
            QRgb p = img.pixel(x, y);
            if (qAlpha(p) < 128) continue;
            QRgb opaque = qRgb(qRed(p), qGreen(p), qBlue(p));
            if (index.count(opaque)) continue;
            if (palette.size() == 255) {
                exact = false;
                break;
            }
            index[opaque] = static_cast<int>(palette.size());
            palette.push_back(opaque);
        }
    }
    auto cube = [](int v) { return (v + 25) / 51; };  // 0..5
    if (!exact) {
        palette.clear();
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b) palette.push_back(qRgb(r * 51, g * 51, b * 51));
    }
    while (palette.size() < 256) palette.push_back(qRgb(255, 255, 255));
    const int transparent = 255;
    std::vector<unsigned char> pixels;
    pixels.reserve(static_cast<size_t>(w * h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            QRgb p = img.pixel(x, y);
            if (qAlpha(p) < 128) {
                pixels.push_back(transparent);
            } else if (exact) {
                pixels.push_back(static_cast<unsigned char>(index[qRgb(qRed(p), qGreen(p), qBlue(p))]));
            } else {
                pixels.push_back(static_cast<unsigned char>(cube(qRed(p)) * 36 + cube(qGreen(p)) * 6 +
                                                            cube(qBlue(p))));
            }
        }
    }
    QByteArray out("GIF89a");
    auto u16 = [&](int v) {
        out.append(static_cast<char>(v & 0xff));
        out.append(static_cast<char>((v >> 8) & 0xff));
    };
    u16(w);
    u16(h);
    out.append(static_cast<char>(0xF7));  // global table of 256 colours
    out.append('\0');
    out.append('\0');
    for (QRgb c : palette) {
        out.append(static_cast<char>(qRed(c)));
        out.append(static_cast<char>(qGreen(c)));
        out.append(static_cast<char>(qBlue(c)));
    }
    out.append("\x21\xF9\x04\x01\x00\x00", 6);  // graphic control: transparency on
    out.append(static_cast<char>(transparent));
    out.append('\0');
    out.append('\x2C');
    u16(0);
    u16(0);
    u16(w);
    u16(h);
    out.append('\0');
    out.append('\x08');  // minimum code size
    QByteArray data;
    unsigned bitBuffer = 0;
    int bitCount = 0;
    auto code = [&](unsigned c) {
        bitBuffer |= c << bitCount;
        bitCount += 9;
        while (bitCount >= 8) {
            data.append(static_cast<char>(bitBuffer & 0xff));
            bitBuffer >>= 8;
            bitCount -= 8;
        }
    };
    int sinceClear = 0;
    code(256);
    for (unsigned char p : pixels) {
        if (sinceClear == 254) {
            code(256);
            sinceClear = 0;
        }
        code(p);
        ++sinceClear;
    }
    code(257);
    if (bitCount > 0) data.append(static_cast<char>(bitBuffer & 0xff));
    for (int i = 0; i < data.size(); i += 255) {
        int n = std::min(255, static_cast<int>(data.size()) - i);
        out.append(static_cast<char>(n));
        out.append(data.mid(i, n));
    }
    out.append('\0');
    out.append('\x3B');
    QString path = gOut + "/quelt/" + name;
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(out) != out.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    }
}

// --- shapes

QFont Font(int pixelSize, bool bold = true, const char* family = "DejaVu Sans") {
    QFont f(family);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

struct Ink {
    QColor body;
    QColor edge;
    QColor accent;
};

const Ink kGrey{QColor(150, 156, 168), QColor(88, 92, 104), QColor(200, 204, 212)};

void Arrow(QPainter& p, bool left, const Ink& ink) {
    QPolygonF a;
    if (left) {
        a << QPointF(2, 12) << QPointF(12, 3) << QPointF(12, 8) << QPointF(22, 8) << QPointF(22, 16)
          << QPointF(12, 16) << QPointF(12, 21);
    } else {
        a << QPointF(22, 12) << QPointF(12, 3) << QPointF(12, 8) << QPointF(2, 8) << QPointF(2, 16)
          << QPointF(12, 16) << QPointF(12, 21);
    }
    QLinearGradient g(0, 3, 0, 21);
    g.setColorAt(0, ink.accent);
    g.setColorAt(1, ink.body);
    p.setBrush(g);
    p.setPen(QPen(ink.edge, 1.2));
    p.drawPolygon(a);
}

void Stop(QPainter& p, const Ink& ink) {
    QPolygonF oct;
    for (int i = 0; i < 8; ++i) {
        double a = (22.5 + 45 * i) * M_PI / 180;
        oct << QPointF(12 + 10 * std::cos(a), 12 + 10 * std::sin(a));
    }
    p.setBrush(ink.body);
    p.setPen(QPen(ink.edge, 1.2));
    p.drawPolygon(oct);
    p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8, 8), QPointF(16, 16));
    p.drawLine(QPointF(16, 8), QPointF(8, 16));
}

void Refresh(QPainter& p, const Ink& ink) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(ink.edge, 4.2, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(QRectF(4, 4, 16, 16), 30 * 16, 250 * 16);
    p.setPen(QPen(ink.body, 2.6, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(QRectF(4, 4, 16, 16), 30 * 16, 250 * 16);
    QPolygonF head;
    head << QPointF(15, 2) << QPointF(22, 6) << QPointF(15, 11);
    p.setPen(QPen(ink.edge, 1));
    p.setBrush(ink.body);
    p.drawPolygon(head);
}

void Printer(QPainter& p, const Ink& ink) {
    p.setPen(QPen(ink.edge, 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(7, 2.5, 10, 8));
    p.setBrush(ink.body);
    p.drawRoundedRect(QRectF(2.5, 9.5, 19, 9), 2, 2);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6.5, 15.5, 11, 6));
    p.setPen(QPen(ink.accent, 1));
    p.drawLine(QPointF(8.5, 18), QPointF(15.5, 18));
    p.setBrush(QColor(60, 200, 80));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(17, 11.5, 2.5, 2.5));
}

void Envelope(QPainter& p, const Ink& ink) {
    p.setPen(QPen(ink.edge, 1));
    p.setBrush(ink.accent);
    p.drawRect(QRectF(2.5, 5.5, 19, 13));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(ink.edge, 1.2));
    p.drawPolyline(QPolygonF() << QPointF(2.5, 5.5) << QPointF(12, 13) << QPointF(21.5, 5.5));
    p.drawLine(QPointF(2.5, 18.5), QPointF(9, 11.5));
    p.drawLine(QPointF(21.5, 18.5), QPointF(15, 11.5));
}

void House(QPainter& p, const Ink& ink, double s = 1.0) {
    p.save();
    p.scale(s, s);
    p.setPen(QPen(ink.edge, 1.1));
    p.setBrush(ink.accent);
    p.drawRect(QRectF(5.5, 11.5, 13, 10));
    p.setBrush(ink.body);
    p.drawPolygon(QPolygonF() << QPointF(2, 12.5) << QPointF(12, 3) << QPointF(22, 12.5));
    p.setBrush(ink.edge);
    p.drawRect(QRectF(10.5, 15.5, 3.5, 6));
    p.restore();
}

void Star(QPainter& p, QPointF c, double outer, double inner, const QColor& fill, const QColor& edge) {
    QPolygonF star;
    for (int i = 0; i < 10; ++i) {
        double r = (i % 2 == 0) ? outer : inner;
        double a = (-90 + 36 * i) * M_PI / 180;
        star << QPointF(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
    }
    p.setPen(QPen(edge, 1));
    p.setBrush(fill);
    p.drawPolygon(star);
}

void Bubble(QPainter& p, QRectF r, const QColor& fill, const QColor& edge, const QString& letter,
            bool tailLeft) {
    QPainterPath path;
    path.addRoundedRect(r, 3, 3);
    QPolygonF tail;
    if (tailLeft) {
        tail << QPointF(r.left() + 3, r.bottom() - 1) << QPointF(r.left() + 1, r.bottom() + 4)
             << QPointF(r.left() + 8, r.bottom() - 1);
    } else {
        tail << QPointF(r.right() - 3, r.bottom() - 1) << QPointF(r.right() - 1, r.bottom() + 4)
             << QPointF(r.right() - 8, r.bottom() - 1);
    }
    path.addPolygon(tail);
    path = path.simplified();
    p.setPen(QPen(edge, 1));
    p.setBrush(fill);
    p.drawPath(path);
    if (!letter.isEmpty()) {
        p.setPen(edge);
        p.setFont(Font(static_cast<int>(r.height() - 3)));
        p.drawText(r.adjusted(0, 1, 0, 1), Qt::AlignCenter, letter);
    }
}

void Translate(QPainter& p, const Ink& ink, bool hover) {
    Bubble(p, QRectF(1.5, 2.5, 13, 11), Qt::white, ink.edge, "A", true);
    Bubble(p, QRectF(9.5, 9.5, 13, 11), hover ? QColor(255, 210, 60) : ink.accent, ink.edge,
           QString::fromUtf8("Ñ"), false);
}

void Palette(QPainter& p, double s, bool hover) {
    p.save();
    p.scale(s, s);
    p.setPen(QPen(QColor(110, 80, 40), 1));
    p.setBrush(hover ? QColor(240, 215, 160) : QColor(200, 196, 188));
    QPainterPath path;
    path.addEllipse(QRectF(1.5, 3.5, 21, 17));
    QPainterPath hole;
    hole.addEllipse(QRectF(13, 13, 5, 4));
    p.drawPath(path.subtracted(hole));
    const QColor dots[] = {QColor(220, 40, 40), QColor(40, 120, 220), QColor(40, 170, 60),
                           QColor(250, 200, 30)};
    const QPointF at[] = {QPointF(6, 8), QPointF(11, 6.5), QPointF(16.5, 8), QPointF(6, 14)};
    for (int i = 0; i < 4; ++i) {
        p.setBrush(hover ? dots[i] : QColor(120 + 20 * i, 124 + 20 * i, 132 + 20 * i));
        p.setPen(Qt::NoPen);
        p.drawEllipse(at[i], 2.2, 2.2);
    }
    p.restore();
}

void Phone(QPainter& p, const Ink& ink) {
    p.setPen(QPen(ink.edge, 1));
    p.setBrush(ink.body);
    p.drawRoundedRect(QRectF(6.5, 1.5, 11, 21), 2.5, 2.5);
    p.setBrush(QColor(210, 235, 200));
    p.drawRect(QRectF(8.5, 4.5, 7, 6));
    p.setBrush(ink.accent);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) p.drawRect(QRectF(8.5 + c * 2.5, 12.5 + r * 2.8, 1.6, 1.6));
    p.setPen(QPen(ink.edge, 1.4));
    p.drawLine(QPointF(15.5, 1.5), QPointF(15.5, -1));
}

QImage Button(int size, int which, bool hover) {
    QImage img = Canvas(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const Ink blue{QColor(40, 110, 210), QColor(20, 50, 120), QColor(150, 200, 255)};
    const Ink green{QColor(40, 160, 70), QColor(20, 80, 30), QColor(170, 235, 170)};
    const Ink red{QColor(210, 40, 40), QColor(120, 20, 20), QColor(255, 150, 150)};
    const Ink orange{QColor(235, 140, 30), QColor(120, 70, 10), QColor(255, 220, 150)};
    const Ink& ink = hover ? blue : kGrey;
    switch (which) {
        case 1: Arrow(p, true, hover ? green : kGrey); break;
        case 2: Arrow(p, false, hover ? green : kGrey); break;
        case 3: Stop(p, hover ? red : kGrey); break;
        case 4: Refresh(p, hover ? green : kGrey); break;
        case 5: Printer(p, ink); break;
        case 6: Envelope(p, hover ? orange : kGrey); break;
        case 7:
            House(p, hover ? orange : kGrey);
            Star(p, QPointF(18, 6), 5.5, 2.4, hover ? QColor(255, 215, 0) : QColor(210, 210, 215),
                 hover ? QColor(150, 90, 0) : QColor(100, 100, 110));
            break;
        case 8: Translate(p, ink, hover); break;
        case 9: Palette(p, size / 24.0, hover); break;
        case 10:
            p.scale(size / 24.0, size / 24.0);
            Bubble(p, QRectF(1.5, 2.5, 14, 10), hover ? QColor(255, 240, 150) : QColor(220, 220, 224),
                   ink.edge, "", true);
            Bubble(p, QRectF(8.5, 9.5, 14, 10), hover ? QColor(160, 210, 255) : QColor(190, 194, 202),
                   ink.edge, "", false);
            break;
        case 11: Phone(p, ink); break;
    }
    return img;
}

// The window's design background: 800 x 600, a steel-blue band for the buttons, a lighter
// band for the address box and the link bar, and the program's name at the top right.
QImage Background() {
    QImage img = Canvas(800, 600, QColor(206, 214, 228));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient menu(0, 0, 0, 24);
    menu.setColorAt(0, QColor(236, 240, 248));
    menu.setColorAt(1, QColor(214, 222, 236));
    p.fillRect(0, 0, 800, 24, menu);
    QLinearGradient band(0, 24, 0, 82);
    band.setColorAt(0, QColor(190, 205, 230));
    band.setColorAt(0.5, QColor(222, 231, 246));
    band.setColorAt(1, QColor(176, 192, 220));
    p.fillRect(0, 24, 800, 58, band);
    p.setPen(QColor(130, 146, 178));
    p.drawLine(0, 24, 800, 24);
    p.drawLine(0, 82, 800, 82);
    p.setPen(QColor(255, 255, 255, 180));
    p.drawLine(0, 25, 800, 25);
    p.drawLine(0, 83, 800, 83);
    // a soft wave across the button band
    QPainterPath wave;
    wave.moveTo(0, 70);
    for (int x = 0; x <= 800; x += 10) wave.lineTo(x, 66 + 6 * std::sin(x / 70.0));
    wave.lineTo(800, 82);
    wave.lineTo(0, 82);
    wave.closeSubpath();
    p.fillPath(wave, QColor(150, 170, 210, 70));
    // address and link bands
    p.fillRect(0, 84, 800, 42, QColor(222, 228, 240));
    p.setPen(QColor(170, 180, 200));
    p.drawLine(0, 105, 800, 105);
    p.drawLine(0, 126, 800, 126);
    // the name, over the top-right hot spot
    QLinearGradient glow(650, 2, 790, 60);
    glow.setColorAt(0, QColor(30, 70, 160));
    glow.setColorAt(1, QColor(90, 150, 230));
    p.setBrush(glow);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(662, 4, 130, 74), 10, 10);
    p.setPen(Qt::white);
    p.setFont(Font(30, true, "DejaVu Serif"));
    p.drawText(QRectF(662, 6, 130, 46), Qt::AlignCenter, "Quelt!");
    p.setFont(Font(11, false));
    p.drawText(QRectF(662, 46, 130, 24), Qt::AlignCenter, "2000");
    Star(p, QPointF(778, 16), 7, 3, QColor(255, 215, 0), QColor(170, 120, 0));
    // the bottom, under the message bar
    QLinearGradient foot(0, 536, 0, 600);
    foot.setColorAt(0, QColor(200, 208, 224));
    foot.setColorAt(1, QColor(170, 182, 206));
    p.fillRect(0, 536, 800, 64, foot);
    return img;
}

QImage MessageBar() {
    QImage img = Canvas(800, 22);
    QPainter p(&img);
    QLinearGradient g(0, 0, 0, 22);
    g.setColorAt(0, QColor(244, 246, 250));
    g.setColorAt(1, QColor(208, 214, 226));
    p.fillRect(img.rect(), g);
    p.setPen(QColor(140, 150, 170));
    p.drawLine(0, 0, 800, 0);
    p.setPen(Qt::white);
    p.drawLine(0, 1, 800, 1);
    // the sunken field of the status text
    p.setPen(QColor(150, 158, 176));
    p.drawLine(4, 4, 690, 4);
    p.drawLine(4, 4, 4, 18);
    p.setPen(Qt::white);
    p.drawLine(4, 18, 690, 18);
    p.drawLine(690, 4, 690, 18);
    return img;
}

QImage Padlock() {
    QImage img = Canvas(12, 14);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(110, 90, 20), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5, 1, 7, 9), 0, 180 * 16);
    p.drawLine(QPointF(2.5, 5.5), QPointF(2.5, 7));
    p.drawLine(QPointF(9.5, 5.5), QPointF(9.5, 7));
    QLinearGradient g(0, 6, 0, 14);
    g.setColorAt(0, QColor(255, 226, 90));
    g.setColorAt(1, QColor(210, 160, 20));
    p.setBrush(g);
    p.setPen(QPen(QColor(120, 90, 10), 1));
    p.drawRoundedRect(QRectF(0.5, 6.5, 11, 7), 1.5, 1.5);
    p.setBrush(QColor(90, 60, 0));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(5, 8.5, 2, 2));
    p.drawRect(QRectF(5.5, 10, 1, 2));
    return img;
}

QImage QBadge(int size, const QColor& a, const QColor& b) {
    QImage img = Canvas(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(size * 0.35, size * 0.3, size * 0.7);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    p.setBrush(g);
    p.setPen(QPen(b.darker(150), 1));
    p.drawEllipse(QRectF(0.5, 0.5, size - 1, size - 1));
    p.setPen(Qt::white);
    p.setFont(Font(static_cast<int>(size * 0.7), true, "DejaVu Serif"));
    p.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, "Q");
    return img;
}

QImage SmallIcon(int which) {
    QImage img = Canvas(16, 16);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    switch (which) {
        case 0: {  // channel: a small screen with an aerial
            p.setPen(QPen(QColor(60, 60, 80), 1));
            p.drawLine(QPointF(5, 1), QPointF(8, 5));
            p.drawLine(QPointF(11, 1), QPointF(8, 5));
            p.setBrush(QColor(80, 90, 120));
            p.drawRoundedRect(QRectF(1.5, 5.5, 13, 9), 2, 2);
            QLinearGradient g(0, 7, 0, 13);
            g.setColorAt(0, QColor(140, 220, 255));
            g.setColorAt(1, QColor(40, 120, 220));
            p.setBrush(g);
            p.drawRect(QRectF(3.5, 7.5, 9, 5));
            break;
        }
        case 1: Star(p, QPointF(8, 8.5), 7.5, 3.2, QColor(255, 205, 40), QColor(160, 110, 0)); break;
        case 2: p.drawImage(0, 0, QBadge(16, QColor(120, 180, 255), QColor(20, 70, 170))); break;
        case 3: p.drawImage(0, 0, QBadge(16, QColor(255, 200, 120), QColor(200, 90, 20))); break;
        case 4: {
            const Ink ink{QColor(40, 110, 210), QColor(20, 50, 120), QColor(220, 235, 255)};
            House(p, ink, 16 / 24.0);
            break;
        }
    }
    return img;
}

QImage Splash() {
    QImage img = Canvas(450, 250, QColor(20, 50, 120));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 450, 250);
    sky.setColorAt(0, QColor(20, 50, 130));
    sky.setColorAt(0.6, QColor(60, 120, 210));
    sky.setColorAt(1, QColor(150, 200, 250));
    p.fillRect(img.rect(), sky);
    // rings of a globe
    p.setPen(QPen(QColor(255, 255, 255, 60), 2));
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(360, 150), 40.0 + 22 * i, 30.0 + 14 * i);
    p.setPen(QPen(QColor(255, 255, 255, 90), 1.5));
    p.drawEllipse(QPointF(360, 150), 70, 70);
    p.drawEllipse(QPointF(360, 150), 30, 70);
    p.drawLine(QPointF(290, 150), QPointF(430, 150));
    Star(p, QPointF(395, 60), 16, 7, QColor(255, 215, 0), QColor(170, 120, 0));
    p.setPen(Qt::white);
    p.setFont(Font(64, true, "DejaVu Serif"));
    p.drawText(QRectF(30, 40, 320, 90), Qt::AlignLeft | Qt::AlignVCenter, "Quelt!");
    p.setFont(Font(20, false));
    p.drawText(QRectF(34, 128, 320, 30), Qt::AlignLeft | Qt::AlignVCenter, "2000");
    p.setFont(Font(15, true));
    p.drawText(QRectF(34, 168, 360, 26), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8("El primer navegador hispano"));
    p.setPen(QColor(255, 255, 255, 150));
    p.setFont(Font(11, false));
    p.drawText(QRectF(34, 214, 380, 20), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8("Cargando..."));
    p.setPen(QPen(QColor(255, 255, 255, 120), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, 449, 249));
    return img;
}

// A small picture of the portal in one colour scheme, for the template chooser.
QImage Preview(const QColor& page, const QColor& title, const QColor& cell) {
    QImage img = Canvas(120, 90, page);
    QPainter p(&img);
    p.setPen(QColor(80, 80, 80));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, 119, 89);
    p.fillRect(6, 6, 40, 6, QColor(140, 140, 140));
    // left column: search and mail boxes
    for (int i = 0; i < 4; ++i) {
        p.fillRect(6, 16 + i * 18, 30, 5, title);
        p.fillRect(6, 22 + i * 18, 30, 10, cell);
    }
    // groups, four to a row
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 4; ++c) {
            int x = 42 + c * 19, y = 16 + r * 36;
            p.fillRect(x, y, 17, 5, title);
            p.fillRect(x, y + 5, 17, 26, cell);
            for (int l = 0; l < 3; ++l) p.fillRect(x + 2, y + 9 + l * 6, 11, 2, QColor(60, 60, 60));
        }
    }
    return img;
}

QImage PortalLogo() {
    QImage img = Canvas(150, 36);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.drawImage(QRectF(2, 4, 28, 28), QBadge(28, QColor(255, 200, 120), QColor(200, 90, 20)));
    p.setPen(QColor(40, 60, 120));
    p.setFont(Font(20, true, "DejaVu Serif"));
    p.drawText(QRectF(36, 0, 114, 36), Qt::AlignLeft | Qt::AlignVCenter, "Zo Ruvira");
    return img;
}

QImage Banner() {
    QImage img = Canvas(88, 31, QColor(30, 70, 160));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 88, 31);
    g.setColorAt(0, QColor(30, 70, 160));
    g.setColorAt(1, QColor(90, 150, 230));
    p.fillRect(img.rect(), g);
    p.setPen(Qt::white);
    p.setFont(Font(16, true, "DejaVu Serif"));
    p.drawText(QRectF(0, 0, 78, 31), Qt::AlignCenter, "Quelt!");
    Star(p, QPointF(79, 8), 5, 2.2, QColor(255, 215, 0), QColor(170, 120, 0));
    return img;
}

QImage AddGroup() {
    QImage img = Canvas(16, 16);
    QPainter p(&img);
    p.setPen(QColor(130, 90, 10));
    p.setBrush(QColor(250, 210, 90));
    p.drawRect(1, 4, 11, 8);
    p.drawRect(1, 2, 5, 2);
    p.setPen(QColor(20, 110, 30));
    p.setBrush(QColor(60, 190, 70));
    p.drawRect(9, 8, 6, 6);
    p.setPen(Qt::white);
    p.drawLine(12, 9, 12, 13);
    p.drawLine(10, 11, 14, 11);
    return img;
}

QImage Sign(bool plus) {
    QImage img = Canvas(12, 12);
    QPainter p(&img);
    QColor fill = plus ? QColor(50, 170, 60) : QColor(210, 40, 40);
    p.setPen(fill.darker(160));
    p.setBrush(fill);
    p.drawRect(0, 0, 11, 11);
    p.setPen(QPen(Qt::white, 2));
    if (plus) {
        p.drawLine(6, 2, 6, 10);
        p.drawLine(2, 6, 10, 6);
    } else {
        p.drawLine(3, 3, 9, 9);
        p.drawLine(9, 3, 3, 9);
    }
    return img;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: quelt_artwork <src/resources/shell>\n");
        return 2;
    }
    gOut = QString::fromLocal8Bit(argv[1]);

    const char* names[] = {"", "atras", "adelante", "detener", "actualizar", "imprimir",
                           "correo", "zoruvira", "traducir", "skins", "chat", "mensajes"};
    for (int i = 1; i <= 11; ++i) {
        int size = (i == 9 || i == 10) ? 20 : 24;
        SavePng(Button(size, i, false), QString("boton_%1.png").arg(names[i]));
        SavePng(Button(size, i, true), QString("boton_%1_sobre.png").arg(names[i]));
    }
    SavePng(Background(), "fondo.png");
    SavePng(MessageBar(), "barra.png");
    SavePng(Padlock(), "candado.png");
    SavePng(SmallIcon(0), "canal.png");
    SavePng(SmallIcon(1), "favoritos.png");
    SavePng(SmallIcon(2), "miquelt.png");
    SavePng(SmallIcon(3), "sitio.png");
    SavePng(SmallIcon(4), "inicio.png");
    SavePng(Splash(), "splash.png");
    SavePng(QBadge(64, QColor(120, 180, 255), QColor(20, 70, 170)), "quelt.png");
    const QColor schemes[6][3] = {
        {QColor("#ffffff"), QColor("#572e02"), QColor("#fcd9b3")},
        {QColor("#ffffff"), QColor("#706F2f"), QColor("#EFEFdf")},
        {QColor("#b07fdf"), QColor("#90509f"), QColor("#ffffff")},
        {QColor("#0f2f50"), QColor("#4f70b0"), QColor("#7fafe0")},
        {QColor("#ffffff"), QColor("#308f20"), QColor("#6fcf7f")},
        {QColor("#ffffff"), QColor("red"), QColor("#f9c1cd")},
    };
    for (int i = 0; i < 6; ++i) {
        SavePng(Preview(schemes[i][0], schemes[i][1], schemes[i][2]), QString("plantilla%1.png").arg(i + 1));
    }
    SaveGif(PortalLogo(), "miportal.gif");
    SaveGif(AddGroup(), "anadir.gif");
    SaveGif(Sign(true), "anadir2.gif");
    SaveGif(Sign(false), "eliminar.gif");
    SaveGif(Banner(), "sitio/p4.gif");
    return 0;
}
