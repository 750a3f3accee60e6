#include "windowfixture.h"

#include <QComboBox>
#include <QLabel>

class TestWindow : public QObject {
    Q_OBJECT
private slots:
    void opens() {
        WindowFixture f;
        f.w().show();
        QCOMPARE(f.w().lampInFront(), f.w().imgNotConnected);
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
