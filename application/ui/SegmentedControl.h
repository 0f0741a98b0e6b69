#pragma once

#include <QAbstractButton>
#include <QList>
#include <QWidget>

// Segments side by side on one track, each a radio button to a screen reader. Choosing a segment
// emits activated(); the owner then calls setCurrentIndex with the selection it holds.
class SegmentedControl : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedControl(const QStringList& titles, QWidget* parent = nullptr);

    int count() const { return int(m_segments.size()); }
    int currentIndex() const;
    void setCurrentIndex(int index);
    QAbstractButton* segment(int index) const { return m_segments.value(index); }

signals:
    void activated(int index);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<QAbstractButton*> m_segments;
    bool m_updating = false;
};
