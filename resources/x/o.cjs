/* The window's skin: a Qt style sheet. Calm neutrals, one blue accent for
   the action that starts the work. */

#Form1 {
    background-color: #f3f4f6;
}

QWidget {
    color: #1f2933;
}

QToolTip {
    color: #1f2933;
    background-color: #ffffff;
    border: 1px solid #c5cbd3;
    padding: 4px;
}

QTreeWidget#ListView1 {
    background-color: #ffffff;
    alternate-background-color: #f7f9fb;
    border: 1px solid #c5cbd3;
    border-radius: 4px;
    selection-background-color: #2f6fb2;
    selection-color: #ffffff;
}

QTreeWidget#ListView1::item {
    padding: 3px 2px;
}

QHeaderView::section {
    background-color: #e8ebef;
    color: #3e4c59;
    border: none;
    border-right: 1px solid #c5cbd3;
    border-bottom: 1px solid #c5cbd3;
    padding: 4px 6px;
    font-weight: bold;
}

QPushButton {
    background-color: #ffffff;
    border: 1px solid #b8c0ca;
    border-radius: 4px;
    padding: 6px 14px;
}

QPushButton:hover {
    background-color: #eef3f9;
    border-color: #2f6fb2;
}

QPushButton:pressed {
    background-color: #dde7f3;
}

QPushButton:focus {
    border-color: #2f6fb2;
}

QPushButton:disabled {
    color: #9aa5b1;
    background-color: #f0f1f3;
    border-color: #d3d8de;
}

QPushButton#PushButton2 {
    background-color: #2f6fb2;
    border-color: #265d96;
    color: #ffffff;
    font-weight: bold;
    padding: 8px 18px;
}

QPushButton#PushButton2:hover {
    background-color: #3a7cc1;
}

QPushButton#PushButton2:pressed {
    background-color: #265d96;
}

QPushButton#PushButton9 {
    padding: 4px 10px;
}

QGroupBox#Frame1 {
    background-color: #ffffff;
    border: 1px solid #c5cbd3;
    border-radius: 4px;
    margin-top: 0px;
    padding: 30px 3px 8px 3px;
    font-weight: bold;
    color: #3e4c59;
}

QGroupBox#Frame1::title {
    subcontrol-origin: border;
    subcontrol-position: top left;
    left: 12px;
    top: 9px;
}

QGroupBox#Frame1 QWidget {
    font-weight: normal;
    color: #1f2933;
}

QFrame#Frame3 {
    background-color: transparent;
}

QRadioButton {
    background-color: transparent;
    spacing: 7px;
}

QRadioButton::indicator {
    width: 12px;
    height: 12px;
    border: 1px solid #8a96a3;
    border-radius: 7px;
    background-color: #ffffff;
}

QRadioButton::indicator:hover {
    border-color: #2f6fb2;
}

QRadioButton::indicator:checked {
    border-color: #2f6fb2;
    background-color: qradialgradient(cx: 0.5, cy: 0.5, radius: 0.5, fx: 0.5, fy: 0.5,
                                      stop: 0 #2f6fb2, stop: 0.55 #2f6fb2, stop: 0.65 #ffffff, stop: 1 #ffffff);
}

QRadioButton::indicator:disabled {
    border-color: #c5cbd3;
}

QLineEdit {
    background-color: #ffffff;
    border: 1px solid #b8c0ca;
    border-radius: 3px;
    padding: 4px 6px;
    selection-background-color: #2f6fb2;
}

QLineEdit:focus {
    border-color: #2f6fb2;
}

QLineEdit:disabled {
    color: #9aa5b1;
    background-color: #f0f1f3;
    border-color: #d3d8de;
}

#ProgressBar1 {
    background-color: #ffffff;
    color: #1f2933;
    selection-background-color: #2f6fb2;
    selection-color: #ffffff;
}
