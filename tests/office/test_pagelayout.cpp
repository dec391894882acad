#include <QtTest>

class Test_pagelayout : public QObject {
    Q_OBJECT
};

QTEST_GUILESS_MAIN(Test_pagelayout)
#include "test_pagelayout.moc"
