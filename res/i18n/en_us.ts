<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>MainWindow</name>
    <message>
        <location filename="../qml/MainWindow.qml" line="20"/>
        <source>Desk Recorder</source>
        <translation>Desk Recorder</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="211"/>
        <source>No source</source>
        <translation>No source</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="213"/>
        <source>Video hidden</source>
        <translation>Video hidden</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="215"/>
        <source>No signal</source>
        <translation>No signal</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="218"/>
        <source>Waiting for video</source>
        <translation>Waiting for video</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="235"/>
        <source>Window %1</source>
        <translation>Window %1</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="242"/>
        <source>Audio on</source>
        <translation>Audio on</translation>
    </message>
</context>
</TS>
