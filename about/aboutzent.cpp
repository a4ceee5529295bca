#include "aboutzent.h"

#include "aboutzentimp.h"

AboutZent::AboutZent(QWidget *parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
{
}

AboutZent *AboutZent::create(QWidget *parent)
{
    return new AboutZentImp(parent);
}
