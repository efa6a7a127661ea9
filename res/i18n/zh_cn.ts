<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <location filename="../qml/MainWindow.qml" line="20"/>
        <source>Desk Recorder</source>
        <translation>桌面录制器</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="211"/>
        <source>No source</source>
        <translation>无信号源</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="213"/>
        <source>Video hidden</source>
        <translation>视频已隐藏</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="215"/>
        <source>No signal</source>
        <translation>无信号</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="218"/>
        <source>Waiting for video</source>
        <translation>等待视频</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="235"/>
        <source>Window %1</source>
        <translation>窗口 %1</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="242"/>
        <source>Audio on</source>
        <translation>音频开启</translation>
    </message>
</context>
</TS>
