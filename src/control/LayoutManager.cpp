#include "control/LayoutManager.h"

#include <QJsonArray>

namespace {

struct LayoutSpec
{
    int id;
    const char *name;
    int columns;
    int rows;
};

// Grid of each catalogue layout; the twenty-window layout is 5 x 4, not square.
constexpr LayoutSpec Catalogue[] = {
    {1, "oneWindow", 1, 1},      {2, "fourWindows", 2, 2},   {3, "nineWindows", 3, 3},
    {4, "sixteenWindows", 4, 4}, {5, "twentyWindows", 5, 4},
};

// Percent of cell `index` along an axis of `cells` cells. Thirds are written 33.3333 and
// 66.6666 (not rounded): clients compare against those exact numbers.
QJsonValue percent(int index, int cells)
{
    if (cells == 3) {
        static const double thirds[] = {0.0, 33.3333, 66.6666};
        if (index == 0)
            return 0;
        return thirds[index];
    }
    return 100 / cells * index; // all other grids divide 100 exactly
}

QJsonValue cellSize(int cells)
{
    if (cells == 3)
        return 33.3333;
    return 100 / cells;
}

QJsonObject buildEntry(const LayoutSpec &spec)
{
    QJsonArray positions;
    for (int row = 0; row < spec.rows; ++row) {
        for (int column = 0; column < spec.columns; ++column) {
            positions.append(QJsonObject{{"x", percent(column, spec.columns)},
                                         {"y", percent(row, spec.rows)},
                                         {"width", cellSize(spec.columns)},
                                         {"height", cellSize(spec.rows)}});
        }
    }
    return QJsonObject{{"name", spec.name},
                       {"enable", 1},
                       {"id", spec.id},
                       {"img_id", 0},
                       {"number", int(positions.size())},
                       {"position", positions}};
}

} // namespace

LayoutManager::LayoutManager(QObject *parent) : QObject(parent)
{
    QJsonArray data;
    for (const LayoutSpec &spec : Catalogue)
        data.append(buildEntry(spec));
    m_document.insert("result", "ok");
    m_document.insert("data", data);
}

int LayoutManager::windowCountOf(int layoutId)
{
    for (const LayoutSpec &spec : Catalogue) {
        if (spec.id == layoutId)
            return spec.columns * spec.rows;
    }
    return 0;
}

void LayoutManager::setLayout(int layoutId)
{
    m_layoutId = layoutId;
    m_layoutChosen = true;
}

QJsonObject LayoutManager::layoutJson()
{
    if (!m_layoutChosen)
        return m_document;
    QJsonArray data = m_document.value("data").toArray();
    for (qsizetype i = 0; i < data.size(); ++i) {
        QJsonObject entry = data.at(i).toObject();
        if (!entry.contains("id"))
            continue;
        if (entry.value("id").toInt() == m_layoutId)
            entry.insert("use_output", 1);
        else
            entry.remove("use_output");
        data.replace(i, entry);
    }
    m_document.insert("data", data);
    return m_document;
}
