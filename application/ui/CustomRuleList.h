#pragma once

#include <QListView>

class CustomRulesModel;
class ElidedLabel;

// The custom rules drawn as rows of cards: the action badge, the pattern and a remove button.
// Rows are painted, not built as widgets, so a list of 100,000 rules opens and changes quickly.
// The remove button, or Delete on the current row, emits removeRequested(); the owner removes
// the rule and the model drops the row, leaving the scroll position where it was.
class CustomRuleList : public QListView {
    Q_OBJECT
public:
    static constexpr int RowHeight = 34;

    CustomRuleList(CustomRulesModel* model, const QString& emptyText, QWidget* parent = nullptr);

    // Where the remove button of a row is, in viewport coordinates.
    QRect removeButtonRect(int row) const;
    ElidedLabel* emptyLabel() const { return m_emptyLabel; }

signals:
    void removeRequested(int row);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateEmptyState();
    int removeButtonAt(const QPoint& position) const;
    void removeKeepingPosition(int row);

    CustomRulesModel* m_model;
    ElidedLabel* m_emptyLabel;
    int m_pressedRemoveRow = -1;
};
