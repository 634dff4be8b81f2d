#include "app/windows/info.h"

#include "ui/Colours.h"
#include "app/windows/Header.h"
#include "ui/HyperLink.h"

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>

sweepbox::TWindowOnDemand<TAboutBox> AboutBox;

namespace {

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kMaroon(0x80, 0x00, 0x00);
const QColor kGreen(0x00, 0x80, 0x00);

// The program's picture: a globe with a letter travelling round it.
QPixmap ProgramPicture() {
    QPixmap pix(130, 114);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF globe(20, 10, 94, 94);
    QRadialGradient sea(globe.center() - QPointF(18, 18), 70);
    sea.setColorAt(0, QColor(0x8c, 0xc8, 0xff));
    sea.setColorAt(1, QColor(0x1c, 0x4e, 0xa8));
    p.setPen(QPen(QColor(0x10, 0x30, 0x70), 2));
    p.setBrush(sea);
    p.drawEllipse(globe);
    // Meridians and parallels.
    p.setPen(QPen(QColor(255, 255, 255, 110), 1.5));
    p.setBrush(Qt::NoBrush);
    for (const qreal w : {94.0, 56.0, 18.0})
        p.drawEllipse(QRectF(globe.center().x() - w / 2, globe.top(), w, globe.height()));
    for (const qreal y : {-28.0, 0.0, 28.0})
        p.drawLine(QPointF(globe.left() + 6, globe.center().y() + y),
                   QPointF(globe.right() - 6, globe.center().y() + y));
    // Two green land masses.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3c, 0xa0, 0x3c));
    QPainterPath land;
    land.moveTo(44, 30);
    land.cubicTo(62, 22, 74, 34, 66, 48);
    land.cubicTo(60, 60, 70, 72, 58, 84);
    land.cubicTo(46, 80, 48, 62, 40, 56);
    land.cubicTo(32, 48, 34, 36, 44, 30);
    p.drawPath(land);
    p.drawEllipse(QRectF(78, 56, 20, 26));
    // The letter on its orbit.
    p.setPen(QPen(QColor(0xd0, 0x20, 0x20), 3));
    p.drawArc(QRectF(4, 36, 122, 44), 200 * 16, 250 * 16);
    const QRectF letter(92, 14, 34, 24);
    p.setPen(QPen(Qt::black, 1.5));
    p.setBrush(QColor(0xff, 0xf6, 0xd8));
    p.drawRect(letter);
    p.drawLine(letter.topLeft(), letter.center());
    p.drawLine(letter.topRight(), letter.center());
    return pix;
}

// The window's font. Where the classic face is missing, a narrow face keeps
// the texts inside the fixed layout.
QFont WindowFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans Condensed"),
                      QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Arial Narrow")});
    font.setPointSize(8);
    return font;
}

QLabel* NavyLabel(QWidget* parent, const char* name, const QString& text, QPoint at) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->move(at);
    label->adjustSize();
    return label;
}

THyperLink* MakerLink(QWidget* parent, const char* name, const QString& caption, const QString& target,
                      QPoint at, int width) {
    auto* link = new THyperLink(parent);
    link->setObjectName(QString::fromLatin1(name));
    link->move(at);
    link->resize(width, link->height());
    QFont font = WindowFont();
    font.setBold(true);
    font.setUnderline(true);
    link->setFont(font);
    link->HREF = target;
    link->SetCaption(caption);
    return link;
}

} // namespace

TAboutBox::TAboutBox(const sweepbox::TLanguage& Language, QWidget* parent) : QDialog(parent), Language(Language) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("Information"));
    setFont(WindowFont());
    viewer::SetFixedFrame(this, QSize(281, 149), false);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 0, 281, 121);
    // Lowered outside, raised inside: an etched groove round the panel.
    Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);

    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
    ProgramIcon->setGeometry(8, 8, 65, 57);
    ProgramIcon->setScaledContents(true);
    ProgramIcon->setPixmap(ProgramPicture());
    ProgramIcon->setToolTip(QStringLiteral("Around the World, around ..."));

    ProductName = new QLabel(QStringLiteral("Sweepbox 2.14"), Panel1);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    QFont productFont = font();
    productFont.setPixelSize(19);
    productFont.setBold(true);
    ProductName->setFont(productFont);
    ProductName->move(82, 8);
    ProductName->adjustSize();

    Label1 = NavyLabel(Panel1, "Label1", QStringLiteral("e-mail:"), QPoint(82, 40));
    HyperLink1 = MakerLink(Panel1, "HyperLink1", QStringLiteral("sweepbox@example.org"),
                           QStringLiteral("mailto:sweepbox@example.org"), QPoint(136, 40), 142);
    Label2 = NavyLabel(Panel1, "Label2", QStringLiteral("Internet:"), QPoint(82, 56));
    HyperLink2 = MakerLink(Panel1, "HyperLink2", QStringLiteral("www.example.org"),
                           QStringLiteral("https://www.example.org/"), QPoint(136, 56), 95);
    Copyright = NavyLabel(Panel1, "Copyright", QString::fromUtf8("© 1999/2000 Larkmoor, example.org"),
                          QPoint(8, 80));

    Comments = NavyLabel(Panel1, "Comments", QString(), QPoint(8, 96));
    Comments->setWordWrap(true);
    Comments->setFixedSize(113, 17);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(103, 124, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    setTabOrder(HyperLink1, HyperLink2);
    setTabOrder(HyperLink2, OKButton);
    ApplyColours();
}

void TAboutBox::ApplyColours() {
    // The window's navy, green and maroon, each kept where it reads on the
    // desktop's palette and lightened on a dark one.
    const QColor background = palette().color(QPalette::Window);
    auto tint = [&](QWidget* w, const QColor& want) {
        QPalette pal = w->palette();
        pal.setColor(QPalette::WindowText, colours::Readable(want, background));
        w->setPalette(pal);
    };
    for (QLabel* label : {Label1, Label2, Copyright, Comments})
        tint(label, kNavy);
    tint(ProductName, kGreen);
    const QColor maroon = colours::Readable(kMaroon, background);
    for (THyperLink* link : {HyperLink1, HyperLink2}) {
        link->NotPressedColor = maroon;
        link->OverColor = maroon;
        link->SetFontColor(maroon);
        link->SetColor(background);
    }
}

void TAboutBox::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::PaletteChange)
        ApplyColours();
}

void TAboutBox::FormActivate(QObject*) {
    Comments->setText(Language.Say("13. Februar 2000", "13 February 2000"));
}

void TAboutBox::showEvent(QShowEvent* event) {
    FormActivate(this);
    // Each showing starts on OK, so Enter closes the window; a link is a Tab
    // away and would otherwise open at the first Enter.
    OKButton->setFocus(Qt::OtherFocusReason);
    viewer::CenterOnScreen(this);
    QDialog::showEvent(event);
}
