#include <QtTest>

class Test_officehost : public QObject {
    Q_OBJECT
};

QTEST_GUILESS_MAIN(Test_officehost)
#include "test_officehost.moc"
