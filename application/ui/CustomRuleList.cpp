#include "ui/CustomRuleList.h"

#include "ui/Card.h"
#include "ui/CustomRulesModel.h"
#include "ui/ElidedLabel.h"
#include "ui/Icons.h"
#include "ui/Theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include <utility>

using Theme::TextStyle;
using Theme::Tone;

namespace {

constexpr int RowGap = 4;      // between two row cards
constexpr int RowPadding = 10; // inside a row card, left and right
constexpr int RemoveSide = 22; // the remove button's square
constexpr int TrashIconSize = 14;

QRect cardRect(const QRect& row) {
    return row.adjusted(0, RowGap / 2, 0, -RowGap / 2);
}

QRect removeRect(const QRect& row) {
    const QRect card = cardRect(row);
    return {card.right() - RowPadding + 4 - RemoveSide, card.center().y() - RemoveSide / 2 + 1,
            RemoveSide, RemoveSide};
}

class RuleRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        return {option.rect.width(), CustomRuleList::RowHeight};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QPalette& pal = option.palette;
        const QRect card = cardRect(option.rect);
        Card::paintSurface(*painter, card, 9, pal);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        if (option.state & QStyle::State_HasFocus && option.state & QStyle::State_Selected) {
            painter->setBrush(Qt::NoBrush);
            painter->setPen(QPen(Theme::color(pal, Tone::Accent, 0.8), 1.5));
            painter->drawRoundedRect(QRectF(card).adjusted(1, 1, -1, -1), 8, 8);
        }

        // The action badge: a capsule, green for direct, blue for proxy.
        const bool direct = index.data(CustomRulesModel::IsDirectRole).toBool();
        const QString badgeText =
            title(direct ? CustomRuleAction::Direct : CustomRuleAction::Proxy);
        const QFont badgeFont = Theme::font(TextStyle::Caption, Theme::Weight::Medium);
        const QFontMetrics badgeMetrics(badgeFont);
        const QRect badge(
            card.left() + RowPadding, card.center().y() - (badgeMetrics.height() + 4) / 2 + 1,
            badgeMetrics.horizontalAdvance(badgeText) + 16, badgeMetrics.height() + 4);
        painter->setPen(Qt::NoPen);
        painter->setBrush(Theme::color(pal, direct ? Tone::Green : Tone::Blue, 0.18));
        painter->drawRoundedRect(QRectF(badge), badge.height() / 2.0, badge.height() / 2.0);
        painter->setPen(Theme::color(pal, Tone::Primary));
        painter->setFont(badgeFont);
        painter->drawText(badge, Qt::AlignCenter, badgeText);

        // The pattern, elided before the remove button.
        const QRect remove = removeRect(option.rect);
        const QFont patternFont = Theme::monospaced(TextStyle::Subheadline);
        const QRect patternRect(badge.right() + 9, card.top(), remove.left() - badge.right() - 15,
                                card.height());
        painter->setFont(patternFont);
        painter->drawText(
            patternRect, Qt::AlignLeft | Qt::AlignVCenter,
            QFontMetrics(patternFont)
                .elidedText(index.data().toString(), Qt::ElideRight, patternRect.width()));

        const QPixmap trash = Icons::pixmap(QStringLiteral("trash"), TrashIconSize,
                                            Theme::color(pal, Tone::Secondary),
                                            painter->device()->devicePixelRatioF());
        painter->drawPixmap(remove.left() + (RemoveSide - TrashIconSize) / 2,
                            remove.top() + (RemoveSide - TrashIconSize) / 2, trash);
        painter->restore();
    }
};

} // namespace

CustomRuleList::CustomRuleList(CustomRulesModel* model, const QString& emptyText, QWidget* parent)
    : QListView(parent), m_model(model), m_emptyLabel(new ElidedLabel(3, viewport())) {
    setModel(model);
    setItemDelegate(new RuleRowDelegate(this));
    setUniformItemSizes(true); // no per-row measuring: long lists lay out at once
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    verticalScrollBar()->setSingleStep(RowHeight / 2);

    m_emptyLabel->setObjectName(QStringLiteral("rulesEmptyLabel"));
    m_emptyLabel->setTextFont(Theme::font(TextStyle::Caption));
    m_emptyLabel->setForeground({Tone::Secondary, 1.0});
    m_emptyLabel->setText(emptyText);
    m_emptyLabel->setContentsMargins(4, 4, 4, 4);
    m_emptyLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    connect(model, &QAbstractItemModel::rowsInserted, this, &CustomRuleList::updateEmptyState);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &CustomRuleList::updateEmptyState);
    connect(model, &QAbstractItemModel::modelReset, this, &CustomRuleList::updateEmptyState);
    updateEmptyState();
}

QRect CustomRuleList::removeButtonRect(int row) const {
    return removeRect(visualRect(m_model->index(row)));
}

int CustomRuleList::removeButtonAt(const QPoint& position) const {
    const QModelIndex index = indexAt(position);
    return index.isValid() && removeButtonRect(index.row()).contains(position) ? index.row() : -1;
}

// A press on a remove button neither selects the row nor makes it current: removing it must not
// move the current row and scroll the list to it.
void CustomRuleList::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_pressedRemoveRow = removeButtonAt(event->position().toPoint());
        if (m_pressedRemoveRow >= 0) {
            event->accept();
            return;
        }
    }
    QListView::mousePressEvent(event);
}

void CustomRuleList::mouseReleaseEvent(QMouseEvent* event) {
    if (m_pressedRemoveRow < 0) {
        QListView::mouseReleaseEvent(event);
        return;
    }
    const int pressed = std::exchange(m_pressedRemoveRow, -1);
    event->accept();
    if (event->button() == Qt::LeftButton && removeButtonAt(event->position().toPoint()) == pressed)
        removeKeepingPosition(pressed);
}

void CustomRuleList::removeKeepingPosition(int row) {
    // The current row may be the one removed; its successor becomes current without a scroll.
    const bool scrolls = hasAutoScroll();
    setAutoScroll(false);
    emit removeRequested(row);
    setAutoScroll(scrolls);
}

void CustomRuleList::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) &&
        currentIndex().isValid()) {
        emit removeRequested(currentIndex().row());
        return;
    }
    QListView::keyPressEvent(event);
}

void CustomRuleList::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    m_emptyLabel->setGeometry(viewport()->rect());
}

void CustomRuleList::updateEmptyState() {
    const bool empty = m_model->rowCount() == 0;
    m_emptyLabel->setVisible(empty);
    setFocusPolicy(empty ? Qt::NoFocus : Qt::StrongFocus);
}
