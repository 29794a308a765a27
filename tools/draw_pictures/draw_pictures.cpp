// Draws every picture the updater's windows show, and the updater's icon, so
// that they can be made again after a change of design:
//
//   draw_pictures RES_DIR
//
// writes RES_DIR/update/image/*.png, RES_DIR/update/image/progressBar/*.png
// and RES_DIR/icons/update-<size>.png. Run it on the offscreen platform
// (scripts/draw-pictures does). The pictures carry the dialogs' look: the
// widgets on top of them are transparent labels and picture buttons, so each
// background is laid out around the places where those widgets stand.

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

const char* const kFontFamily = "DejaVu Sans";

// Colours the widgets on the pictures rely on: the dialogs' labels are
// transparent over the body, and the bar is drawn from the track and fill.
const QColor kBodyGrey(235, 235, 235);
const QColor kTrackGrey(206, 206, 206);
const QColor kFillBlue(111, 150, 199);
const QColor kTipText(85, 85, 85);

const QColor kWindowBorder(136, 146, 160);
const QColor kCaptionTop(253, 253, 254);
const QColor kCaptionBottom(232, 235, 240);
const QColor kCaptionText(58, 62, 68);
const QColor kBannerDeep(26, 66, 130);
const QColor kBannerLight(92, 138, 200);
const QColor kBannerEdge(20, 52, 104);
const QColor kSeparator(210, 210, 210);
const QColor kSeparatorLight(247, 247, 247);
const QColor kFooterTop(229, 229, 229);
const QColor kFooterBottom(222, 222, 222);
const QColor kWellFrame(186, 186, 186);
const QColor kWellHighlight(246, 246, 246);
const QColor kIconTop(92, 144, 212);
const QColor kIconBottom(34, 84, 156);
const QColor kIconEdge(24, 62, 122);

// Corner radius of both windows. The window mask is taken from the alpha
// channel and is one bit deep, so the corners are cut pixel-exact rather than
// antialiased: what the picture shows is exactly the window's outline.
const int kCornerRadius = 5;

// The picture buttons are stretched from their 82 x 25 pictures into 66 x 22
// buttons. Drawing them in the button's own 66 x 22 space, scaled up, keeps
// the word and the frame in proportion once the toolkit scales them down.
const QSize kButtonPicture(82, 25);
const QSizeF kButtonOnScreen(66, 22);

const QSize kTipPicture(290, 20);
const int kTipPixelSize = 13;
const qreal kTipMaxWidth = 250;

// Where the bands of a dialog's background lie, top to bottom.
struct WindowLayout {
    QSize size;
    int captionHeight;  // the painted caption: icon and window title
    int bannerBottom;   // the blue banner runs from the caption down to here
    int footerTop;      // a thin line and a footer strip below it; 0 for none
    int titlePixelSize;
};

// Progress dialog: the caption label stands at (30, 100) 372 x 20, the bar at
// (33, 139) 528 x 17 and Cancel at (500, 205) 66 x 22, centred in the footer.
const WindowLayout kProgressWindow{{594, 242}, 30, 86, 189, 12};
const QRect kProgressBarPlace(33, 139, 528, 17);

// Notice dialog: the outcome strip at (0, 80) 290 x 20 and OK at (112, 125)
// 66 x 22 share one open body, with even margins above and below.
const WindowLayout kNoticeWindow{{290, 165}, 26, 62, 0, 12};

enum class ButtonFace { Normal, Hover, Pressed };

QFont uiFont(int pixelSize) {
    QFont font(QString::fromLatin1(kFontFamily));
    font.setPixelSize(pixelSize);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferVerticalHinting);
    return font;
}

bool fontInstalled() {
    return QFontInfo(uiFont(12)).family() == QString::fromLatin1(kFontFamily);
}

QImage transparentImage(QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void prepare(QPainter& painter) {
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
}

QLinearGradient verticalGradient(const QRectF& rect, const QColor& top, const QColor& bottom) {
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    return gradient;
}

// ---- the application icon -------------------------------------------------

// A rounded blue tile with a white circular arrow; from 32 pixels up a small
// parcel sits inside the arrow. Proportions follow the size, but strokes keep
// a floor so that the 16-pixel icon stays legible.
void drawIconTile(QPainter& painter, qreal size) {
    const qreal inset = size >= 48 ? size / 16 : 0.5;
    const QRectF tile(inset, inset, size - 2 * inset, size - 2 * inset);
    const qreal radius = tile.width() * 0.22;
    if (size >= 48) {
        QPainterPath shadow;
        shadow.addRoundedRect(tile.translated(0, size / 64), radius, radius);
        painter.fillPath(shadow, QColor(0, 0, 0, 60));
    }
    QPainterPath path;
    path.addRoundedRect(tile, radius, radius);
    painter.fillPath(path, verticalGradient(tile, kIconTop, kIconBottom));
    painter.save();
    painter.setClipPath(path);
    const QRectF gloss(tile.left(), tile.top(), tile.width(), tile.height() / 2);
    painter.fillRect(gloss,
                     verticalGradient(gloss, QColor(255, 255, 255, 56), QColor(255, 255, 255, 8)));
    painter.restore();
    painter.setPen(QPen(kIconEdge, std::max(1.0, size / 96)));
    painter.drawPath(path);
}

QPointF pointOnCircle(QPointF centre, qreal radius, qreal degrees) {
    const qreal radians = degrees * std::numbers::pi / 180;
    return centre + QPointF(radius * std::cos(radians), -radius * std::sin(radians));
}

void drawIconArrow(QPainter& painter, qreal size) {
    const QPointF centre(size / 2, size / 2);
    const qreal radius = size * (size < 32 ? 0.3 : 0.29);
    const qreal stroke = std::max(1.7, size * 0.08);
    const qreal start = 20;    // degrees, counter-clockwise from three o'clock
    const qreal sweep = -295;  // clockwise, leaving a gap at the upper right
    const QRectF circle(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    painter.setPen(QPen(Qt::white, stroke, Qt::SolidLine, Qt::FlatCap));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(circle, static_cast<int>(start * 16), static_cast<int>(sweep * 16));

    // The head stands on the arc's end and points along the direction of travel.
    const QPointF base = pointOnCircle(centre, radius, start + sweep);
    const QPointF outward = (base - centre) / radius;
    const QPointF along(-outward.y(), outward.x());  // clockwise on screen
    const qreal halfWidth = stroke * 1.55;
    const qreal length = stroke * 1.9;
    const QPolygonF head{base + outward * halfWidth, base + along * length,
                         base - outward * halfWidth};
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPolygon(head);
}

// A small parcel seen from above at an angle: three faces of a cube, lit from
// the top.
void drawIconParcel(QPainter& painter, qreal size) {
    const QPointF centre(size / 2, size / 2 + size * 0.01);
    const qreal half = size * 0.12;  // half the cube's width
    const qreal rise = half * 0.55;  // how far the top face's side corners stand up
    const qreal drop = 2 * half - rise;
    const QPointF top = centre - QPointF(0, 2 * rise);
    const QPointF left = centre - QPointF(half, rise);
    const QPointF right = centre + QPointF(half, -rise);
    const QPointF bottom = centre + QPointF(0, drop);

    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPolygon(QPolygonF{top, right, centre, left});
    painter.setBrush(QColor(224, 234, 247));
    painter.drawPolygon(QPolygonF{left, centre, bottom, left + QPointF(0, drop)});
    painter.setBrush(QColor(190, 210, 236));
    painter.drawPolygon(QPolygonF{centre, right, right + QPointF(0, drop), bottom});
}

QImage drawIcon(int size) {
    QImage image = transparentImage(QSize(size, size));
    QPainter painter(&image);
    prepare(painter);
    const qreal extent = size;
    drawIconTile(painter, extent);
    drawIconArrow(painter, extent);
    if (size >= 32) {
        drawIconParcel(painter, extent);
    }
    return image;
}

// ---- window backgrounds ---------------------------------------------------

void drawCaption(QPainter& painter, const WindowLayout& layout) {
    const QRectF strip(0, 0, layout.size.width(), layout.captionHeight);
    painter.fillRect(strip, verticalGradient(strip, kCaptionTop, kCaptionBottom));

    const int iconSize = 16;
    const qreal iconTop = std::round((layout.captionHeight - iconSize) / 2.0);
    const qreal left = 9;
    painter.drawImage(QPointF(left, iconTop), drawIcon(iconSize));

    painter.setFont(uiFont(layout.titlePixelSize));
    painter.setPen(kCaptionText);
    const QRectF words(left + iconSize + 7, 0, strip.width() / 2, layout.captionHeight);
    painter.drawText(words, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Update notice"));
}

// One edge of a ribbon: a cubic curve across the banner whose heights, at the
// left end, the two control points and the right end, are fractions of the
// banner's height, so the same artwork serves both window sizes.
struct RibbonEdge {
    qreal start;
    qreal control1;
    qreal control2;
    qreal end;
};

// A translucent band of light that sweeps across the banner and fans out
// towards the right.
struct Ribbon {
    RibbonEdge upper;
    RibbonEdge lower;
    int alpha;
};

QLinearGradient fadeAcross(const QRectF& banner, int alpha) {
    QLinearGradient fade(banner.topLeft(), banner.topRight());
    fade.setColorAt(0, QColor(255, 255, 255, alpha / 4));
    fade.setColorAt(0.65, QColor(255, 255, 255, alpha));
    fade.setColorAt(1, QColor(255, 255, 255, alpha / 2));
    return fade;
}

void drawRibbon(QPainter& painter, const QRectF& banner, const Ribbon& ribbon) {
    const qreal left = banner.left();
    const qreal right = banner.right() + 1;
    const qreal third = banner.width() / 3;
    auto at = [&](qreal fraction) { return banner.top() + fraction * banner.height(); };
    const RibbonEdge& up = ribbon.upper;
    const RibbonEdge& low = ribbon.lower;
    QPainterPath edge(QPointF(left, at(up.start)));
    edge.cubicTo(left + third, at(up.control1), left + 2 * third, at(up.control2), right,
                 at(up.end));
    QPainterPath band = edge;
    band.lineTo(right, at(low.end));
    band.cubicTo(left + 2 * third, at(low.control2), left + third, at(low.control1), left,
                 at(low.start));
    band.closeSubpath();

    painter.fillPath(band, fadeAcross(banner, ribbon.alpha));
    // A fine bright line along the upper edge, like light on a fold of silk.
    painter.strokePath(edge, QPen(QBrush(fadeAcross(banner, std::min(255, ribbon.alpha * 3))), 1));
}

// A halftone of dots on a staggered grid, growing towards the lower left and
// fading out before the middle of the banner.
void drawHalftone(QPainter& painter, const QRectF& banner) {
    const qreal step = 5;
    const qreal reach = banner.width() * 0.4;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 52));
    int row = 0;
    for (qreal y = banner.top() + step / 2; y < banner.bottom(); y += step, ++row) {
        const qreal lower = (y - banner.top()) / banner.height();
        for (qreal x = banner.left() + (row % 2 ? step : step / 2); x < banner.left() + reach;
             x += step) {
            const qreal fade = 1 - (x - banner.left()) / reach;
            const qreal radius = 1.5 * fade * (0.35 + 0.65 * lower);
            if (radius > 0.25) {
                painter.drawEllipse(QPointF(x, y), radius, radius);
            }
        }
    }
}

// Fine concentric arcs rising from the banner's lower right, like ripples.
void drawRipples(QPainter& painter, const QRectF& banner) {
    const QPointF centre(banner.right() - banner.height() * 0.6, banner.bottom() + 2);
    for (int ring = 1; ring <= 5; ++ring) {
        const qreal radius = banner.height() * 0.32 * ring;
        painter.setPen(QPen(QColor(255, 255, 255, 42 - 6 * ring), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(centre, radius, radius);
    }
}

void drawBanner(QPainter& painter, const QRectF& banner) {
    painter.save();
    painter.setClipRect(banner);
    QLinearGradient across(banner.topLeft(), banner.topRight());
    across.setColorAt(0, kBannerDeep);
    across.setColorAt(1, kBannerLight);
    painter.fillRect(banner, across);

    QRadialGradient glow(QPointF(banner.left() + banner.width() * 0.78, banner.top()),
                         banner.height() * 2.2);
    glow.setColorAt(0, QColor(255, 255, 255, 64));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    painter.fillRect(banner, glow);

    const Ribbon ribbons[] = {
        {{0.92, 0.85, 0.35, 0.05}, {0.98, 1.00, 0.85, 0.55}, 46},
        {{1.00, 0.95, 0.60, 0.35}, {1.02, 1.05, 1.00, 0.95}, 34},
        {{0.70, 0.55, 0.15, -0.10}, {0.74, 0.62, 0.35, 0.25}, 28},
    };
    drawHalftone(painter, banner);
    for (const Ribbon& ribbon : ribbons) {
        drawRibbon(painter, banner, ribbon);
    }
    drawRipples(painter, banner);

    const QRectF sheen(banner.left(), banner.top(), banner.width(), banner.height() * 0.45);
    painter.fillRect(sheen,
                     verticalGradient(sheen, QColor(255, 255, 255, 34), QColor(255, 255, 255, 0)));
    painter.restore();

    painter.fillRect(QRectF(banner.left(), banner.top(), banner.width(), 1), kBannerEdge);
    painter.fillRect(QRectF(banner.left(), banner.bottom(), banner.width(), 1), kBannerEdge);
}

void drawFooter(QPainter& painter, const WindowLayout& layout) {
    if (layout.footerTop == 0) {
        return;
    }
    const qreal width = layout.size.width();
    painter.fillRect(QRectF(0, layout.footerTop, width, 1), kSeparator);
    painter.fillRect(QRectF(0, layout.footerTop + 1, width, 1), kSeparatorLight);
    const QRectF footer(0, layout.footerTop + 2, width,
                        layout.size.height() - layout.footerTop - 2);
    painter.fillRect(footer, verticalGradient(footer, kFooterTop, kFooterBottom));
}

// True when the pixel's centre lies inside the window's rounded outline.
bool insideOutline(QSize size, int x, int y) {
    const qreal r = kCornerRadius;
    const qreal cx = x + 0.5;
    const qreal cy = y + 0.5;
    const qreal dx = std::max({r - cx, cx - (size.width() - r), 0.0});
    const qreal dy = std::max({r - cy, cy - (size.height() - r), 0.0});
    return dx * dx + dy * dy <= r * r;
}

// Clears the pixels outside the outline and draws a one-pixel border on every
// pixel inside it that touches the outside.
void cutOutline(QImage& image) {
    const QSize size = image.size();
    auto inside = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < size.width() && y < size.height() &&
               insideOutline(size, x, y);
    };
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            if (!inside(x, y)) {
                image.setPixelColor(x, y, Qt::transparent);
            } else if (!inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) ||
                       !inside(x, y + 1)) {
                image.setPixelColor(x, y, kWindowBorder);
            }
        }
    }
}

QImage drawWindowBackground(const WindowLayout& layout) {
    QImage image = transparentImage(layout.size);
    QPainter painter(&image);
    prepare(painter);
    painter.fillRect(image.rect(), kBodyGrey);
    drawCaption(painter, layout);
    drawBanner(painter, QRectF(0, layout.captionHeight, layout.size.width(),
                               layout.bannerBottom - layout.captionHeight));
    drawFooter(painter, layout);
    return image;
}

// A sunken well around the place of the progress bar, so that the bar sits in
// the background rather than floating on it.
void drawBarWell(QImage& image, const QRect& bar) {
    QPainter painter(&image);
    painter.fillRect(bar.adjusted(-1, -1, 1, 1), kWellFrame);
    painter.fillRect(bar, kTrackGrey);
    painter.fillRect(QRect(bar.left() - 1, bar.bottom() + 2, bar.width() + 2, 1), kWellHighlight);
}

QImage drawProgressBackground() {
    QImage image = drawWindowBackground(kProgressWindow);
    drawBarWell(image, kProgressBarPlace);
    cutOutline(image);
    return image;
}

QImage drawNoticeBackground() {
    QImage image = drawWindowBackground(kNoticeWindow);
    cutOutline(image);
    return image;
}

// ---- progress bar, buttons and outcome strips ------------------------------

QImage flatImage(QSize size, const QColor& colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

struct FaceColours {
    QColor top;
    QColor bottom;
    QColor frame;
    QColor word;
    qreal wordDrop;  // the word sinks a pixel when the button is pressed
};

FaceColours faceColours(ButtonFace face) {
    switch (face) {
        case ButtonFace::Hover:
            return {QColor(255, 255, 255), QColor(238, 240, 243), QColor(126, 146, 172),
                    QColor(40, 44, 50), 0};
        case ButtonFace::Pressed:
            return {QColor(204, 206, 209), QColor(219, 220, 222), QColor(118, 122, 128),
                    QColor(40, 40, 40), 1};
        case ButtonFace::Normal:
            break;
    }
    return {QColor(250, 250, 250), QColor(224, 224, 224), QColor(146, 146, 146), QColor(60, 60, 60),
            0};
}

QImage drawButton(const QString& word, ButtonFace face) {
    const FaceColours colours = faceColours(face);
    QImage image = transparentImage(kButtonPicture);
    QPainter painter(&image);
    prepare(painter);
    painter.scale(kButtonPicture.width() / kButtonOnScreen.width(),
                  kButtonPicture.height() / kButtonOnScreen.height());

    const QRectF frame(0.5, 0.5, kButtonOnScreen.width() - 1, kButtonOnScreen.height() - 1);
    painter.setPen(QPen(colours.frame, 1));
    painter.setBrush(verticalGradient(frame, colours.top, colours.bottom));
    painter.drawRoundedRect(frame, 3, 3);
    if (face != ButtonFace::Pressed) {
        // A light inner edge along the top gives the face a little relief.
        painter.setPen(QPen(QColor(255, 255, 255, 200), 1));
        painter.drawLine(QPointF(3, 1.5), QPointF(frame.right() - 2.5, 1.5));
    }

    painter.setFont(uiFont(12));
    painter.setPen(colours.word);
    painter.drawText(frame.translated(0, colours.wordDrop), Qt::AlignCenter, word);
    return image;
}

// Returns a null image when the words do not fit the strip comfortably.
QImage drawTip(const QString& words) {
    const QFont font = uiFont(kTipPixelSize);
    const qreal width = QFontMetricsF(font).horizontalAdvance(words);
    if (width > kTipMaxWidth) {
        std::fprintf(stderr, "draw_pictures: \"%s\" is %.0f pixels wide, more than %.0f\n",
                     qPrintable(words), width, kTipMaxWidth);
        return QImage();
    }
    QImage image = transparentImage(kTipPicture);
    QPainter painter(&image);
    prepare(painter);
    painter.setFont(font);
    painter.setPen(kTipText);
    painter.drawText(QRectF(image.rect()), Qt::AlignCenter, words);
    return image;
}

// ---- output ---------------------------------------------------------------

// Saves `image` under `root`; pictures without transparency are stored as
// plain RGB.
bool save(const QImage& image, const QDir& root, const QString& relativePath) {
    const QString path = root.filePath(relativePath);
    if (image.isNull()) {
        std::fprintf(stderr, "draw_pictures: nothing drawn for %s\n", qPrintable(path));
        return false;
    }
    const QImage stored =
        image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_ARGB32) : image;
    if (!root.mkpath(QFileInfo(relativePath).path()) || !stored.save(path, "PNG")) {
        std::fprintf(stderr, "draw_pictures: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool drawAll(const QDir& root) {
    const QString image = QStringLiteral("update/image/");
    const QString bar = QStringLiteral("update/image/progressBar/");
    bool ok = save(drawProgressBackground(), root, bar + "update_bg.png");
    ok &= save(flatImage({528, 17}, kTrackGrey), root, bar + "progress_bg.png");
    ok &= save(flatImage({1, 17}, kFillBlue), root, bar + "progress.png");
    const QString cancel = QStringLiteral("Cancel");
    ok &= save(drawButton(cancel, ButtonFace::Normal), root, bar + "cancel_default.png");
    ok &= save(drawButton(cancel, ButtonFace::Hover), root, bar + "cancel_hover.png");
    ok &= save(drawButton(cancel, ButtonFace::Pressed), root, bar + "cancel_pressed.png");

    ok &= save(drawNoticeBackground(), root, image + "infoWindowBg.png");
    const QString okWord = QStringLiteral("OK");
    ok &= save(drawButton(okWord, ButtonFace::Normal), root, image + "ok.png");
    ok &= save(drawButton(okWord, ButtonFace::Hover), root, image + "ok_hover.png");
    ok &= save(drawButton(okWord, ButtonFace::Pressed), root, image + "ok_press.png");
    ok &= save(drawTip(QStringLiteral("The update completed successfully.")), root,
               image + "tip1.png");
    ok &= save(drawTip(QStringLiteral("Your software is already up to date.")), root,
               image + "tip2.png");
    ok &= save(drawTip(QStringLiteral("The update failed. Please try again.")), root,
               image + "tip3.png");
    ok &= save(drawTip(QStringLiteral("The update was cancelled.")), root, image + "tip4.png");

    for (int size : {16, 32, 48, 64, 96, 128, 256}) {
        ok &= save(drawIcon(size), root, QStringLiteral("icons/update-%1.png").arg(size));
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_pictures RES_DIR\n");
        return 2;
    }
    if (!fontInstalled()) {
        std::fprintf(stderr, "draw_pictures: the font %s is missing (fonts-dejavu-core)\n",
                     kFontFamily);
        return 1;
    }
    return drawAll(QDir(QString::fromLocal8Bit(argv[1]))) ? 0 : 1;
}
