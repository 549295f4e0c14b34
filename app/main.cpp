#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Snagreel"));
    QApplication::setOrganizationName(QStringLiteral("Snagreel"));
    return 0;
}
