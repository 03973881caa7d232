#ifndef DATATABLE_H
#define DATATABLE_H

// QtTest data tables one line a row: addColumns<QString, int>({"log", "count"}) once, then
// addRow("name", "a|b", 2) for each row.

#include <QTest>

#include <array>

template <typename... T> void addColumns(const std::array<const char *, sizeof...(T)> &names)
{
    int i = 0;
    (QTest::addColumn<T>(names[i++]), ...);
}

template <typename... T> void addRow(const char *name, const T &...values)
{
    (QTest::newRow(name) << ... << values);
}

#endif // DATATABLE_H
