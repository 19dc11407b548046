#include <QApplication>

#include "appfont.h"
#include "clumaro.h"
#include "debugout.h"
#include "metatypes.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    useLumaroFont();
    debugInit("lumaro", 0);
    QCoreApplication::setOrganizationName(QStringLiteral("Marveld"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("marveld.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumaro"));
    registerMetaTypes();
    auto* window = new CLumaro();
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return QApplication::exec();
}
