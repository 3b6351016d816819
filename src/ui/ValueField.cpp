#include "ui/ValueField.h"

#include <QFocusEvent>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionFrame>

ValueField::ValueField(Qt::TextElideMode mode, QWidget* parent) : QLineEdit(parent), mode_(mode) {
    setReadOnly(true);
    setFrame(false);
    // It reads as a label: the window's background, no caret, reached by a click, not by Tab.
    QPalette look = palette();
    look.setColor(QPalette::Base, Qt::transparent);
    setPalette(look);
    setFocusPolicy(Qt::ClickFocus);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    setTextMargins(0, 0, 0, 0);
    // Every value starts at the left edge, whatever the direction of its text: a right-to-left
    // name must not move the title to the right while the values below stay left.
    setLayoutDirection(Qt::LeftToRight);
    setAlignment(Qt::AlignLeft | Qt::AlignAbsolute | Qt::AlignVCenter);
}

void ValueField::setValue(const QString& value) {
    value_ = value;
    refresh();
}

void ValueField::refresh() {
    if (whole_) {
        if (text() != value_)
            setText(value_);
    } else {
        // The room for text, as the line edit itself lays it out.
        QStyleOptionFrame option;
        initStyleOption(&option);
        const QRect room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
        const int width = std::max(0, room.width() - 4);
        setText(fontMetrics().elidedText(value_, mode_, width));
        setCursorPosition(0);
    }
    setToolTip(text() == value_ ? QString() : value_);
}

void ValueField::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    refresh();
}

void ValueField::focusInEvent(QFocusEvent* event) {
    // The whole text under the pointer before the click places the cursor in it.
    whole_ = true;
    refresh();
    QLineEdit::focusInEvent(event);
}

void ValueField::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    // A context menu takes the focus for a while; the text stays whole for its Copy.
    if (event->reason() != Qt::PopupFocusReason) {
        whole_ = false;
        refresh();
    }
}
