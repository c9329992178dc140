#include "device/es9038.h"
#include "settings/es9038state.h"
#include "ui/mainwindow.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    ES9038 dac;
    ES9038State state(&dac);

    // Optional vendor and product identifiers, in hexadecimal. An argument
    // without a hexadecimal number keeps the default.
    if (argc == 3) {
        unsigned int vendorId = dac.link->vendorId;
        unsigned int productId = dac.link->productId;
        sscanf(argv[1], "%x", &vendorId);
        sscanf(argv[2], "%x", &productId);
        printf("vid=0x%x pid=0x%x", vendorId, productId);
        dac.link->vendorId = vendorId;
        dac.link->productId = productId;
    }

    MainWindow window;
    window.setState(&state);
    window.show();
    return app.exec();
}
