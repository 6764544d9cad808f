#include "app/app_style.h"

const char kAppStyleSheet[] =
    "QTextBrowser, QCheckBox, QLabel, QLineEdit, QComboBox, QListWidget, QPushButton { color: white; }"
    "QCheckBox::indicator {    width: 15px;    height: 15px;    background-color: transparent;"
    "    border: 1px solid white;    border-radius: 3px;}"
    "QCheckBox::indicator:checked {    background-color: white;    border: 1px solid #007acc;}"
    "QLineEdit {    border: 1px solid white;    border-radius: 3px;}"
    "QListWidget {    border: 1px solid white;    border-radius: 3px;}"
    "QToolBar::separator:horizontal {    width: 1px;    margin: 0px 10px;}"
    "QMessageBox { background-color: rgb(85, 87, 83); }"
    "QPushButton { background-color: rgb(85, 87, 83); }";
