#include "dc_pool.h"
#include "dialog_app.h"
#include "receiver_dialog.h"

int main(int argc, char* argv[])
{
    DialogApp app(argc, argv);
    ReceiverDialog dialog(DcPool::global());
    return app.run(dialog);
}
