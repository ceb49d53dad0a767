#pragma once

#include <QTest>

namespace talkmere::testing {

// The data of a test that runs once without a condition and once with it: one bool column.
inline void flagRows(const char* column, const char* without, const char* with) {
    QTest::addColumn<bool>(column);
    QTest::newRow(without) << false;
    QTest::newRow(with) << true;
}

} // namespace talkmere::testing
