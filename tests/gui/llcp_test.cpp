#include <QtTest>
class LlcpTest : public QObject { Q_OBJECT };
QTEST_MAIN(LlcpTest)
#include "llcp_test.moc"
