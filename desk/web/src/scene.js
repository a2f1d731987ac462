// A small three.js view that fits its card, renders on demand and never runs when hidden.
import * as THREE from 'three';

export class View3D {
  constructor(host, { cameraAt, lookAt = [0, 0, 0], fov = 40 }) {
    this.host = host;
    this.renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
    this.renderer.setPixelRatio(Math.min(window.devicePixelRatio, 2));
    this.renderer.setClearColor(0xf7f9fc);
    host.appendChild(this.renderer.domElement);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(fov, 1, 0.001, 100);
    this.camera.position.set(...cameraAt);
    this.camera.up.set(0, 0, 1);
    this.camera.lookAt(new THREE.Vector3(...lookAt));
    this.scene.add(new THREE.AmbientLight(0xffffff, 0.7));
    const sun = new THREE.DirectionalLight(0xffffff, 1.6);
    sun.position.set(...cameraAt.map((v) => v * 2));
    this.scene.add(sun);
    new ResizeObserver(() => this.resize()).observe(host);
    this.resize();
  }

  resize() {
    const width = this.host.clientWidth || 300;
    const height = this.host.clientHeight || 240;
    this.renderer.setSize(width, height, false);
    this.camera.aspect = width / height;
    this.camera.updateProjectionMatrix();
    this.render();
  }

  render() {
    this.renderer.render(this.scene, this.camera);
  }
}

export { THREE };
