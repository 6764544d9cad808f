#include "app/capture_files.h"

CaptureFiles::CaptureFiles(QWidget*, interface_io*, CaptureSession*, std::function<void()>,
                           QObject* parent)
    : QObject(parent) {}

void CaptureFiles::save() {}

void CaptureFiles::openWithDialog() {}

bool CaptureFiles::open(const QString&) { return false; }
