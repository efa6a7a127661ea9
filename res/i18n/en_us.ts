<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>MainWindow</name>
    <message>
        <location filename="../qml/MainWindow.qml" line="21"/>
        <source>Desk Recorder</source>
        <translation>Desk Recorder</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="167"/>
        <source>Folder for recordings</source>
        <translation>Folder for recordings</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="240"/>
        <source>No source</source>
        <translation>No source</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="242"/>
        <source>Video hidden</source>
        <translation>Video hidden</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="315"/>
        <source>Black</source>
        <translation>Black</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="316"/>
        <source>Frozen</source>
        <translation>Frozen</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="317"/>
        <source>Silent</source>
        <translation>Silent</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="244"/>
        <source>No signal</source>
        <translation>No signal</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="247"/>
        <source>Waiting for video</source>
        <translation>Waiting for video</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="264"/>
        <source>Window %1</source>
        <translation>Window %1</translation>
    </message>
    <message>
        <location filename="../qml/MainWindow.qml" line="271"/>
        <source>Audio on</source>
        <translation>Audio on</translation>
    </message>
</context>
</TS>
