#pragma once

#include <QLineEdit>

// A value shown as a label that never cuts a text off unseen: a text too long for its width is
// elided, with the whole text in its tooltip, and a click gives the whole text for selecting
// and copying.
class ValueField final : public QLineEdit {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ValueField)

  public:
    explicit ValueField(Qt::TextElideMode mode, QWidget* parent = nullptr);

    void setValue(const QString& value);
    const QString& value() const { return value_; }
    bool isElided() const { return text() != value_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    void refresh();

    Qt::TextElideMode mode_;
    QString value_;
    bool whole_ = false; // while it has the focus
};
