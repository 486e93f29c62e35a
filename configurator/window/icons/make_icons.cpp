// Draws ludrane's icons as PNG files into the directory given as argument:
// the tool bar's (24 × 24), the lists' and the status bar's (16 × 16) and
// the program's own. Run by hand after changing a drawing
// (cmake --build build --target ludrane-make-icons, then run it on
// configurator/window/icons); the PNGs are kept in the tree.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <functional>

namespace {

using Draw = std::function<void(QPainter&)>;  // in a 24 × 24 box

const QColor kSteel(0x5a, 0x6f, 0x8c), kSteelDark(0x2d, 0x3a, 0x4f), kBlue(0x2f, 0x6f, 0xd6),
    kGreen(0x2e, 0xa0, 0x43), kRed(0xd4, 0x3a, 0x2f), kGold(0xe3, 0xa5, 0x1c);

QLinearGradient Vertical(const QColor& top, const QColor& bottom, qreal y0, qreal y1) {
  QLinearGradient g(0, y0, 0, y1);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  return g;
}

void Server(QPainter& p, QRectF box = QRectF(4, 2, 14, 20)) {
  p.setPen(QPen(kSteelDark, 1));
  p.setBrush(Vertical(kSteel.lighter(150), kSteel, box.top(), box.bottom()));
  p.drawRoundedRect(box, 2, 2);
  p.setPen(QPen(kSteelDark, 1.2));
  const qreal x0 = box.left() + 3, x1 = box.right() - 5;
  for (qreal y : {box.top() + 4.5, box.top() + 8.5}) p.drawLine(QPointF(x0, y), QPointF(x1, y));
  p.setPen(Qt::NoPen);
  p.setBrush(kGreen.lighter(130));
  p.drawEllipse(QPointF(box.right() - 3, box.bottom() - 3.5), 1.6, 1.6);
}

void Client(QPainter& p, QRectF screen = QRectF(2, 3, 18, 13)) {
  p.setPen(QPen(kSteelDark, 1));
  p.setBrush(kSteel.lighter(120));
  p.drawRoundedRect(screen, 1.5, 1.5);
  p.setBrush(Vertical(QColor(0x9c, 0xc8, 0xff), kBlue, screen.top(), screen.bottom()));
  p.setPen(Qt::NoPen);
  p.drawRect(screen.adjusted(2, 2, -2, -2));
  p.setPen(QPen(kSteelDark, 1));
  p.setBrush(kSteel);
  const qreal cx = screen.center().x();
  p.drawRect(QRectF(cx - 1.5, screen.bottom(), 3, 2.5));
  p.drawRoundedRect(QRectF(cx - 5, screen.bottom() + 2.5, 10, 2), 1, 1);
}

void Badge(QPainter& p, const QColor& color, const std::function<void(QPainter&)>& mark) {
  p.setPen(QPen(Qt::white, 1.2));
  p.setBrush(color);
  p.drawEllipse(QPointF(17.5, 17.5), 6, 6);
  p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
  mark(p);
}
void Plus(QPainter& p) {
  p.drawLine(QPointF(14.5, 17.5), QPointF(20.5, 17.5));
  p.drawLine(QPointF(17.5, 14.5), QPointF(17.5, 20.5));
}
void Minus(QPainter& p) { p.drawLine(QPointF(14.5, 17.5), QPointF(20.5, 17.5)); }
void Cross(QPainter& p) {
  p.drawLine(QPointF(15.2, 15.2), QPointF(19.8, 19.8));
  p.drawLine(QPointF(19.8, 15.2), QPointF(15.2, 19.8));
}

void Start(QPainter& p) {
  QPainterPath path;
  path.moveTo(6, 3);
  path.lineTo(20, 12);
  path.lineTo(6, 21);
  path.closeSubpath();
  p.setPen(QPen(kGreen.darker(140), 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Vertical(kGreen.lighter(150), kGreen, 3, 21));
  p.drawPath(path);
}

void Stop(QPainter& p) {
  p.setPen(QPen(kRed.darker(140), 1.2));
  p.setBrush(Vertical(kRed.lighter(150), kRed, 4, 20));
  p.drawRoundedRect(QRectF(4, 4, 16, 16), 2.5, 2.5);
}

void Refresh(QPainter& p) {
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kBlue, 2.6, Qt::SolidLine, Qt::FlatCap));
  const QRectF ring(4, 4, 16, 16);
  p.drawArc(ring, 30 * 16, 140 * 16);
  p.drawArc(ring, 210 * 16, 140 * 16);
  p.setPen(Qt::NoPen);
  p.setBrush(kBlue);
  QPainterPath head1, head2;  // arrow heads at the arcs' ends
  head1.moveTo(3.0, 13.5);
  head1.lineTo(8.2, 12.5);
  head1.lineTo(4.5, 8.8);
  head2.moveTo(21.0, 10.5);
  head2.lineTo(15.8, 11.5);
  head2.lineTo(19.5, 15.2);
  p.drawPath(head1);
  p.drawPath(head2);
}

void Access(QPainter& p) {  // a padlock
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kSteelDark, 2.2));
  p.drawArc(QRectF(7, 3, 10, 12), 0, 180 * 16);
  p.drawLine(QPointF(7, 9), QPointF(7, 11));
  p.drawLine(QPointF(17, 9), QPointF(17, 11));
  p.setPen(QPen(kGold.darker(150), 1));
  p.setBrush(Vertical(kGold.lighter(140), kGold, 10, 21));
  p.drawRoundedRect(QRectF(4.5, 10.5, 15, 11), 2, 2);
  p.setPen(Qt::NoPen);
  p.setBrush(kSteelDark);
  p.drawEllipse(QPointF(12, 15), 1.6, 1.6);
  p.drawRect(QRectF(11.3, 15, 1.4, 3.5));
}

void Options(QPainter& p) {  // a gear
  QPainterPath gear;
  const QPointF c(12, 12);
  for (int i = 0; i < 8; ++i) {
    QPainterPath tooth;
    tooth.addRoundedRect(QRectF(-2, -10.5, 4, 6), 1, 1);
    QTransform t;
    t.translate(c.x(), c.y());
    t.rotate(i * 45);
    gear = gear.united(t.map(tooth));
  }
  QPainterPath body;
  body.addEllipse(c, 7, 7);
  gear = gear.united(body);
  QPainterPath hole;
  hole.addEllipse(c, 2.8, 2.8);
  gear = gear.subtracted(hole);
  p.setPen(QPen(kSteelDark, 1));
  p.setBrush(Vertical(kSteel.lighter(160), kSteel, 2, 22));
  p.drawPath(gear);
}

void Print(QPainter& p) {
  p.setPen(QPen(kSteelDark, 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(7, 2.5, 10, 7));  // paper in
  p.setBrush(Vertical(kSteel.lighter(160), kSteel, 8, 18));
  p.drawRoundedRect(QRectF(2.5, 8.5, 19, 9), 2, 2);
  p.setBrush(Qt::white);
  p.drawRect(QRectF(6.5, 14.5, 11, 7));  // paper out
  p.setPen(QPen(kSteel, 1));
  p.drawLine(QPointF(8.5, 17), QPointF(15.5, 17));
  p.drawLine(QPointF(8.5, 19), QPointF(13.5, 19));
  p.setPen(Qt::NoPen);
  p.setBrush(kGreen.lighter(130));
  p.drawEllipse(QPointF(18.5, 11.5), 1.2, 1.2);
}

void About(QPainter& p) {
  QRadialGradient g(QPointF(9, 8), 14);
  g.setColorAt(0, kBlue.lighter(160));
  g.setColorAt(1, kBlue);
  p.setPen(QPen(kBlue.darker(140), 1));
  p.setBrush(g);
  p.drawEllipse(QPointF(12, 12), 10, 10);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(12, 7), 1.7, 1.7);
  p.drawRoundedRect(QRectF(10.4, 10, 3.2, 8.5), 1, 1);
}

void Status(QPainter& p, bool on) {  // a plug with a coloured light
  p.setPen(QPen(kSteelDark, 1));
  p.setBrush(kSteel.lighter(140));
  p.drawRoundedRect(QRectF(3, 6, 11, 12), 2, 2);
  p.setPen(QPen(kSteelDark, 2));
  p.drawLine(QPointF(14, 9), QPointF(19, 9));
  p.drawLine(QPointF(14, 15), QPointF(19, 15));
  QRadialGradient g(QPointF(7.5, 10.5), 5);
  const QColor light = on ? kGreen : kRed;
  g.setColorAt(0, light.lighter(170));
  g.setColorAt(1, light);
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawEllipse(QPointF(8.5, 12), 3.2, 3.2);
}

void Program(QPainter& p) {  // two servers and the wire to a client
  Server(p, QRectF(1.5, 1.5, 10, 15));
  p.setPen(QPen(kBlue, 1.6));
  p.drawLine(QPointF(11.5, 12), QPointF(15, 12));
  p.drawLine(QPointF(15, 12), QPointF(15, 15));
  Client(p, QRectF(9.5, 13.5, 13, 7.5));
}

bool Save(const QString& dir, const QString& name, int size, const Draw& draw) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 24.0, size / 24.0);
  draw(p);
  p.end();
  return image.save(QDir(dir).filePath(name + ".png"));
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) return 2;
  const QString dir = QString::fromLocal8Bit(argv[1]);
  const std::pair<const char*, Draw> tools[] = {
      {"create",
       [](QPainter& p) {
         Server(p);
         Badge(p, kGreen, Plus);
       }},
      {"delete",
       [](QPainter& p) {
         Server(p);
         Badge(p, kRed, Cross);
       }},
      {"start", Start},
      {"stop", Stop},
      {"refresh", Refresh},
      {"add",
       [](QPainter& p) {
         Client(p);
         Badge(p, kGreen, Plus);
       }},
      {"remove",
       [](QPainter& p) {
         Client(p);
         Badge(p, kRed, Minus);
       }},
      {"access", Access},
      {"options", Options},
      {"print", Print},
      {"about", About},
  };
  bool ok = true;
  for (const auto& [name, draw] : tools) ok &= Save(dir, QString::fromLatin1(name), 24, draw);
  ok &= Save(dir, "server", 16, [](QPainter& p) { Server(p); });
  ok &= Save(dir, "client", 16, [](QPainter& p) { Client(p); });
  ok &= Save(dir, "connected", 16, [](QPainter& p) { Status(p, true); });
  ok &= Save(dir, "disconnected", 16, [](QPainter& p) { Status(p, false); });
  for (int size : {16, 32, 48, 128})
    ok &= Save(dir, QString("ludrane-%1").arg(size), size, Program);
  return ok ? 0 : 1;
}
