#include "console/app/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace orvane::console {
namespace {

QPixmap IconPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // A shield: the agent guards the gateways.
    const qreal s = size;
    QPainterPath shield;
    shield.moveTo(s * 0.5, s * 0.04);
    shield.lineTo(s * 0.9, s * 0.18);
    shield.cubicTo(s * 0.9, s * 0.62, s * 0.72, s * 0.84, s * 0.5, s * 0.96);
    shield.cubicTo(s * 0.28, s * 0.84, s * 0.1, s * 0.62, s * 0.1, s * 0.18);
    shield.closeSubpath();
    QLinearGradient g(0, 0, 0, s);
    g.setColorAt(0, QColor(0x2f, 0x80, 0xd0));
    g.setColorAt(1, QColor(0x14, 0x3f, 0x7a));
    p.fillPath(shield, g);
    p.setPen(QPen(Qt::white, s * 0.1, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(s * 0.32, s * 0.3, s * 0.36, s * 0.36));
    return pm;
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) icon.addPixmap(IconPixmap(size));
    return icon;
}

QPixmap OptionsBanner(int width, int height, qreal devicePixelRatio) {
    QPixmap pm(QSize(width, height) * devicePixelRatio);
    pm.setDevicePixelRatio(devicePixelRatio);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, width, 0);
    g.setColorAt(0, QColor(0x14, 0x3f, 0x7a));
    g.setColorAt(1, QColor(0x2f, 0x80, 0xd0));
    p.fillRect(QRect(0, 0, width, height), g);
    const int iconSize = height - 12;
    p.drawPixmap(QRect(10, 6, iconSize, iconSize), IconPixmap(iconSize * devicePixelRatio));
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(height / 3);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(iconSize + 20, 0, width - iconSize - 24, height), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Orvane Agent"));
    return pm;
}

}  // namespace orvane::console
