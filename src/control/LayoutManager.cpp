#include "control/LayoutManager.h"

#include <QJsonArray>

namespace {

struct LayoutShape
{
    int id;
    const char *name;
    int columns;
    int rows;
};

// Grid of each catalogue layout; the twenty-window layout is 5 x 4, not square.
constexpr LayoutShape Catalogue[] = {
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

QJsonObject buildEntry(const LayoutShape &shape)
{
    QJsonArray positions;
    for (int row = 0; row < shape.rows; ++row) {
        for (int column = 0; column < shape.columns; ++column) {
            positions.append(QJsonObject{{"x", percent(column, shape.columns)},
                                         {"y", percent(row, shape.rows)},
                                         {"width", cellSize(shape.columns)},
                                         {"height", cellSize(shape.rows)}});
        }
    }
    return QJsonObject{{"name", shape.name},
                       {"enable", 1},
                       {"id", shape.id},
                       {"img_id", 0},
                       {"number", int(positions.size())},
                       {"position", positions}};
}

} // namespace

LayoutManager::LayoutManager(QObject *parent) : QObject(parent)
{
    QJsonArray data;
    for (const LayoutShape &shape : Catalogue)
        data.append(buildEntry(shape));
    m_document.insert("result", "ok");
    m_document.insert("data", data);
}

int LayoutManager::windowCountOf(int layoutId)
{
    for (const LayoutShape &shape : Catalogue) {
        if (shape.id == layoutId)
            return shape.columns * shape.rows;
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
