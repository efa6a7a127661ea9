<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <location filename="../qml/MainWindow.qml" line="21"/>
        <source>Desk Recorder</source>
        <translation>桌面录制器</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="167"/>
        <source>Folder for recordings</source>
        <translation>录制文件夹</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="240"/>
        <source>No source</source>
        <translation>无信号源</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="242"/>
        <source>Video hidden</source>
        <translation>视频已隐藏</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="315"/>
        <source>Black</source>
        <translation>黑场</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="316"/>
        <source>Frozen</source>
        <translation>画面冻结</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="317"/>
        <source>Silent</source>
        <translation>静音</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="244"/>
        <source>No signal</source>
        <translation>无信号</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="247"/>
        <source>Waiting for video</source>
        <translation>等待视频</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="264"/>
        <source>Window %1</source>
        <translation>窗口 %1</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="271"/>
        <source>Audio on</source>
        <translation>音频开启</translation>
    </message>
</context>
</TS>
