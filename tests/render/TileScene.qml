// One video tile as the main window uses it, alone in a view: double-click toggles enlarged.
import QtQuick

Rectangle {
    width: 640
    height: 400
    color: "#203040"

    Loader {
        id: loader
        anchors.fill: parent
        source: "file:" + resDir + "/qml/VideoTile.qml"
        onLoaded: {
            item.position = 1
            item.toggleEnlarge.connect(function() { item.enlarged = !item.enlarged })
        }
    }
    readonly property Item tile: loader.item
}
