// A small scene of render items for the picture tests: items at offsets inside their
// parents, a QML item stacked over a video, and items with sizes QML should never give.
import QtQuick
import SceneGraphRendering 1.0

Rectangle {
    width: 1000
    height: 600
    color: "#203040"

    Item {
        x: 20
        y: 20
        width: 448
        height: 252
        Renderer {
            objectName: "wide"
            anchors.fill: parent
        }
    }
    Rectangle {
        objectName: "overlay"
        x: 30
        y: 30
        width: 40
        height: 40
        color: "#00ff80"
    }
    Renderer {
        objectName: "square"
        x: 500
        y: 20
        width: 400
        height: 400
    }
    Renderer {
        objectName: "blank"
        x: 20
        y: 300
        width: 200
        height: 100
    }
    Renderer {
        objectName: "zero"
        x: 250
        y: 300
        width: 0
        height: 100
    }
    Renderer {
        objectName: "huge"
        x: 5000
        y: 5000
        width: 100000
        height: 100000
    }
}
